#include "gui_main.h"

#include <QApplication>
#include <QPixmap>
#include <QStringList>

#include <cstdio>
#include <cstring>
#include <string>

#include "chain_builder.h"
#include "editor_window.h"
#include "engine/effects.h"

namespace vx {

namespace {

const char* const kUsage =
    "usage: varnomix-gui --screenshot-editor KIND FILE.png\n"
    "  KIND: an effect's name as the rack lists it, or its number 1..13\n";

void complain(const std::string& text) { std::fprintf(stderr, "varnomix: %s\n", text.c_str()); }

std::string kind_list() {
    std::string s;
    for (int k = 1; k < kKindCount; ++k)
        if (kind_available(k)) s += "\n  " + std::to_string(k) + "  " + kind_name(k);
    return s;
}

// Screenshots need no display: unless the user chose a platform, draw offscreen.
bool wants_offscreen(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--screenshot-editor") == 0) return true;
    return false;
}

int screenshot_editor(const std::string& kind_word, const std::string& file) {
    const EffectKind k = parse_kind(kind_word);
    if (k < 0) {
        complain("unknown effect kind \"" + kind_word + "\"; the kinds are:" + kind_list());
        return 2;
    }
    if (k == 0) {
        complain("\"" + kind_word + "\" is the empty slot; it has no editor");
        return 2;
    }
    if (!kind_available(k)) {
        complain(std::string("effect kind \"") + kind_name(k) + "\" is not built yet");
        return 2;
    }
    EffectInstance inst = get_registry().create[k]();
    if (inst == nullptr || inst->form == nullptr) {
        force_destroy_instance(inst);
        complain(std::string("could not create \"") + kind_name(k) + "\"");
        return 2;
    }
    EditorWindow* window = EditorWindow::of(*inst->form);
    inst->form->show();
    QApplication::processEvents();
    const bool written = window->grab().save(QString::fromStdString(file), "PNG");
    // Not destroy_instance: closing an editor may write settings, which a screenshot must not.
    force_destroy_instance(inst);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (!written) {
        complain("cannot write the screenshot to \"" + file + "\"");
        return 2;
    }
    return 0;
}

}  // namespace

void quiet_platform_notices() {
    static QtMessageHandler next = nullptr;
    next = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (text.startsWith(QLatin1String("This plugin does not support"))) return;
        if (next) next(type, context, text);
    });
}

int run_gui(int argc, char** argv) {
    if (wants_offscreen(argc, argv) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) quiet_platform_notices();
    QApplication::setApplicationName(QStringLiteral("Varnomix"));
    QApplication::setApplicationDisplayName(QStringLiteral("Varnomix"));

    const QStringList args = QApplication::arguments();
    if (args.size() >= 2 && args[1] == QLatin1String("--screenshot-editor")) {
        if (args.size() != 4) {
            complain("--screenshot-editor needs a KIND and a FILE.png");
            std::fputs(kUsage, stderr);
            return 2;
        }
        return screenshot_editor(args[2].toStdString(), args[3].toStdString());
    }
    if (args.size() >= 2 && (args[1] == QLatin1String("--help") || args[1] == QLatin1String("-h"))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace vx
