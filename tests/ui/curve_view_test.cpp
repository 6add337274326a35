// The pictures in the editors: drawn where their points say, whole and clear of the other controls in
// every editor and both shipped skins (the screenshots stay in screenshots/ to be looked at), and
// safe when their effect goes first.
#include <QImage>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <string>

#include "app/skin_archive.h"
#include "curve_view.h"
#include "engine/effects.h"
#include "ui_helpers.h"

namespace vx {
namespace {

namespace fs = std::filesystem;

class OnePicture : public Form {
public:
    OnePicture() : Form("one picture", 480, 240) { add(picture); }
    Curve picture{"picture", "Picture", "a test", {"Hz", 20.0, 20000.0, Curve::Scale::Log}, {"dB", -40.0, 20.0}};
};

TEST(CurveView, MapsItsAxesAndLabelsThem) {
    const Curve::Axis log_axis{"Hz", 20.0, 20000.0, Curve::Scale::Log};
    EXPECT_DOUBLE_EQ(CurveView::map(log_axis, 20.0, 0.0, 300.0), 0.0);
    EXPECT_DOUBLE_EQ(CurveView::map(log_axis, 632.4555320336759, 0.0, 300.0), 150.0);
    EXPECT_DOUBLE_EQ(CurveView::map({"dB", -40.0, 20.0}, 0.0, 200.0, 50.0), 100.0);
    EXPECT_EQ(CurveView::ticks(log_axis),
              (std::vector<double>{20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000}));
    EXPECT_EQ(CurveView::ticks({"", -32768, 32768}), (std::vector<double>{-20000, 0, 20000}));
    EXPECT_EQ(CurveView::tick_text(20000), "20k");
    EXPECT_EQ(CurveView::tick_text(-0.5), "-0.5");
    EXPECT_TRUE(CurveView::ticks({"", 1.0, 1.0}).empty());
}

// A line at 0 dB lands on the row where the axis maps 0 dB, in the first series' colour; a picture
// whose effect is gone paints its empty panel and nothing of the old points.
TEST(CurveView, DrawsTheSeriesWhereTheyLieAndOutlivesItsEffect) {
    auto form = std::make_unique<OnePicture>();
    form->picture.set_series({{"flat", Curve::Style::Line, {20.0, 20000.0}, {0.0, 0.0}}});
    auto view = std::make_unique<FormView>(*form);
    view->resize(480, 240);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    auto* picture = test::widget_of<CurveView>(*view, "picture");
    ASSERT_NE(picture, nullptr);
    const QImage img = picture->grab().toImage();
    int amber_rows = 0, first_row = -1;
    for (int y = 0; y < img.height(); ++y) {
        const QRgb c = img.pixel(img.width() / 2, y);
        if (qRed(c) > 200 && qGreen(c) > 140 && qGreen(c) < 200 && qBlue(c) < 100) {
            ++amber_rows;
            if (first_row < 0) first_row = y;
        }
    }
    EXPECT_GE(amber_rows, 2) << "no line drawn";
    // Rows of 20 dB and -20 dB are labelled; the line lies one third of the way from 20 to -40.
    EXPECT_GT(first_row, img.height() / 6);
    EXPECT_LT(first_row, img.height() * 2 / 3);
    test::save_shot(*picture, "curve-flat");

    // The points change: the picture follows.
    form->picture.set_series({});
    test::settle();
    const QImage empty = picture->grab().toImage();
    EXPECT_NE(empty, img);

    form.reset();
    test::settle();
    picture->repaint();  // must not touch the gone control
    SUCCEED();
}

// Each editor with a picture, in each shipped skin: the picture is whole, inside the window and
// overlaps no other control.
TEST(CurveView, EveryEditorShowsItsPictureClearOfTheControlsInBothSkins) {
    QTemporaryDir tmp;
    for (const char* skin : {"symbios", "atmosphere"}) {
        SCOPED_TRACE(skin);
        const fs::path unpacked = fs::path(tmp.path().toStdString()) / skin;
        ASSERT_EQ(unpack_zip((fs::path(VX_BIN_DIR) / "SKINS" / (std::string(skin) + ".zip")).string(), unpacked.string()), "");
        SkinDescription d;
        ASSERT_TRUE(read_skin((unpacked / "skin.ini").string(), d));
        int pictures = 0;
        for (EffectKind k = 1; k < kKindCount; ++k) {
            if (!kind_available(k)) continue;
            EffectInstance inst = get_registry().create[k]();
            ASSERT_NE(inst, nullptr);
            QPointer<EditorWindow> w = EditorWindow::of(*inst->form);
            w->setStyleSheet(QString::fromStdString(d.style_sheet));
            inst->form->show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(w)) << kind_name(k);
            test::settle();
            for (CurveView* picture : w->findChildren<CurveView*>()) {
                ++pictures;
                const QRect r(picture->mapTo(w, QPoint(0, 0)), picture->size());
                EXPECT_TRUE(w->rect().contains(r)) << kind_name(k);
                EXPECT_GE(picture->width(), picture->minimumSizeHint().width()) << kind_name(k);
                EXPECT_GE(picture->height(), picture->minimumSizeHint().height()) << kind_name(k);
                for (QWidget* other : w->findChildren<QWidget*>()) {
                    if (other == picture || !other->isVisibleTo(w) || other->isAncestorOf(picture)) continue;
                    if (other->parentWidget() != picture->parentWidget()) continue;
                    const QRect o(other->mapTo(w, QPoint(0, 0)), other->size());
                    EXPECT_FALSE(r.intersects(o)) << kind_name(k) << ": overlaps " << other->objectName().toStdString();
                }
            }
            test::expect_nothing_cut(*w, kind_name(k));
            // The pictures of these windows are kept by the editors test, which draws them alike.
            force_destroy_instance(inst);
            test::settle();
        }
        EXPECT_GE(pictures, 7);
    }
}

}  // namespace
}  // namespace vx
