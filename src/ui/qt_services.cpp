#include "qt_services.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProcess>
#include <QTimer>
#include <QUrl>

#include "app/skin_archive.h"
#include "editor_window.h"

namespace vx {

namespace {

QString title() {
    const QString name = QGuiApplication::applicationDisplayName();
    return name.isEmpty() ? QStringLiteral("Varnomix") : name;
}

// Put before every skin's own rules, which may say the same in their own colours: where the keyboard
// focus is, and that a control cannot be used now, show in any skin.
constexpr const char* kStateRules =
    "QPushButton:focus, QToolButton:focus, QComboBox:focus, QLineEdit:focus, QPlainTextEdit:focus "
    "{ border: 2px solid palette(highlight); }\n"
    "QCheckBox:focus, QRadioButton:focus, QSlider:focus { border: 1px dashed palette(highlight); }\n"
    "*:disabled { color: palette(mid); }\n";

// The skin loaded last; like the application's style sheet, one for the whole program.
std::string& loaded_skin_name() {
    static std::string name;
    return name;
}

}  // namespace

void QtServices::message(const std::string& text) {
    QMessageBox::information(parent_, title(), QString::fromStdString(text), QMessageBox::Ok);
}

void QtServices::warning(const std::string& text) {
    QMessageBox::warning(parent_, title(), QString::fromStdString(text), QMessageBox::Ok);
}

bool QtServices::confirm(const std::string& text) {
    return QMessageBox::question(parent_, title(), QString::fromStdString(text), QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

std::optional<std::string> QtServices::file_dialog(const FileDialog& d, bool save) {
    QFileDialog dlg(parent_, QString::fromStdString(d.caption), QString::fromStdString(d.folder));
    dlg.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dlg.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    QStringList filters;
    for (const auto& f : d.filters) filters << QString::fromStdString(f);
    if (!filters.isEmpty()) dlg.setNameFilters(filters);
    if (save && !d.confirm_overwrite) dlg.setOption(QFileDialog::DontConfirmOverwrite);
    if (!d.default_suffix.empty()) dlg.setDefaultSuffix(QString::fromStdString(d.default_suffix));
    if (!d.file_name.empty()) dlg.selectFile(QString::fromStdString(d.file_name));
    if (dlg.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = dlg.selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty()) return std::nullopt;
    return chosen.first().toStdString();
}

std::optional<std::string> QtServices::open_file(const FileDialog& d) { return file_dialog(d, false); }

std::optional<std::string> QtServices::save_file(const FileDialog& d) { return file_dialog(d, true); }

Services::Point QtServices::pointer() {
    const QPoint p = QCursor::pos();
    return Point{p.x(), p.y()};
}

void QtServices::move_pointer(Point p) { QCursor::setPos(p.x, p.y); }

void QtServices::open_url(const std::string& url) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url), QUrl::TolerantMode));
}

void QtServices::open_folder(const std::string& path) {
    // Detached: the file manager outlives nothing of ours and must not hold up the window.
    if (!QProcess::startDetached(QStringLiteral("xdg-open"), {QString::fromStdString(path)}))
        warning("Cannot open the folder \"" + path + "\" (xdg-open is missing); put the files there by hand.");
}

void QtServices::quit(int exit_status) {
    quit_status_ = exit_status;
    // Queued, so that the current handler finishes first, and so that a quit asked before the
    // event loop runs still ends it once it starts.
    QTimer::singleShot(0, QCoreApplication::instance(), [exit_status] { QCoreApplication::exit(exit_status); });
}

bool QtServices::unpack_skin(const std::string& zip_path, const std::string& folder) {
    return unpack_zip(zip_path, folder).empty();
}

// An editor takes the style sheet as its own, so that it keeps the skin of its first show. The
// main window's skin becomes the application's style sheet: the main window has no editor window,
// may not have a widget yet when it loads its skin at creation, and every window without a sheet
// of its own starts from it.
void QtServices::load_skin(Form& window, const std::string& skin_ini_path) {
    SkinDescription skin;
    if (!read_skin(skin_ini_path, skin)) return;
    loaded_skin_name() = skin.name;
    const QString sheet = QString::fromLatin1(kStateRules) + QString::fromStdString(skin.style_sheet);
    if (EditorWindow* editor = EditorWindow::find(window))
        editor->setStyleSheet(sheet);
    else if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance()))
        app->setStyleSheet(sheet);
}

std::string QtServices::skin_name() { return loaded_skin_name(); }

}  // namespace vx
