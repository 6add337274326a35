#include "gui_main.h"

#include <atomic>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPixmap>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "app/Unit1.h"
#include "app/editor_dialogs.h"
#include "app/midi_control.h"
#include "app/options.h"
#include "engine/program_folder.h"
#include "chain_builder.h"
#include "drivers/drivers.h"
#include "editor_window.h"
#include "engine/effects.h"
#include "main_window.h"
#include "qt_services.h"
#include "drivers/tuner_tap.h"
#include "tuner_window.h"

#include <cmath>
#include <vector>

namespace vx {

namespace {

const char* const kUsage =
    "usage: varnomix [--home DIR]                  the desktop program\n"
    "       varnomix --screenshot FILE.png [--home DIR]\n"
    "                                              the main window after its first show, as PNG\n"
    "       varnomix --screenshot-editor KIND FILE.png\n"
    "                                              a new instance's editor, as PNG; KIND: an effect's\n"
    "                                              name as the rack lists it, or its number 1..13\n"
    "       varnomix --screenshot-tuner FILE.png [HZ]\n"
    "                                              the tuner window reading a steady tone of HZ\n"
    "                                              (default: a low E string 12 cents flat), as PNG\n"
    "       varnomix --nogui [options]             the live engine without windows (--nogui --help)\n"
    "       varnomix --list-devices                the input and output devices\n"
    "       varnomix --list-midi                   the MIDI sources\n"
    "       varnomix --version\n"
    "  --home DIR  the program folder (default: $VARNOMIX_HOME, else for an installed program\n"
    "              ~/.local/share/varnomix, for one in its build folder the build folder)\n";

int signal_pipe[2] = {-1, -1};

extern "C" void on_termination_signal(int) {
    const int saved = errno;
    const char byte = 1;
    // Full or closed: a close is on its way already, or nobody listens any more.
    [[maybe_unused]] const ssize_t n = ::write(signal_pipe[1], &byte, 1);
    errno = saved;
}

void complain(const std::string& text) { std::fprintf(stderr, "varnomix: %s\n", text.c_str()); }

int usage_error(const std::string& text) { return vx::usage_error("varnomix", text); }

std::string kind_list() {
    std::string s;
    for (int k = 1; k < kKindCount; ++k)
        if (kind_available(k)) s += "\n  " + std::to_string(k) + "  " + kind_name(k);
    return s;
}

// Screenshots need no display: unless the user chose a platform, draw offscreen.
bool wants_offscreen(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--screenshot-editor") == 0 || std::strcmp(argv[i], "--screenshot") == 0 ||
            std::strcmp(argv[i], "--screenshot-tuner") == 0)
            return true;
    return false;
}

bool has_display() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

struct Options {
    std::string home;
    std::optional<std::string> screenshot;
    std::optional<std::pair<std::string, std::string>> screenshot_editor;  // kind, file
    std::optional<std::string> screenshot_tuner;
    double tuner_hz = 82.4069 * std::pow(2.0, -12.0 / 1200.0);
};

// "" or what is wrong with the command line (Qt's own options already taken out of it).
std::string parse(const QStringList& qt_args, Options& o) {
    static constexpr OptionSpec kSpecs[] = {
        {"--help", false, "", 'h'},
        {"--home", true, "needs a folder"},
        {"--screenshot", true, "needs a FILE.png"},
        {"--screenshot-tuner", true, "needs a FILE.png"},
        {"--screenshot-editor", true, "needs a KIND and a FILE.png"},
    };
    std::vector<std::string> args;
    for (qsizetype i = 1; i < qt_args.size(); ++i) args.push_back(qt_args[i].toStdString());
    const ParsedOptions parsed = parse_options(args, kSpecs);
    if (!parsed.ok()) return parsed.error;
    const std::vector<OptionItem>& items = parsed.items;
    for (size_t i = 0; i < items.size(); ++i) {
        const OptionItem& a = items[i];
        const bool word_follows = i + 1 < items.size() && items[i + 1].positional();
        if (a.is("--home")) {
            o.home = a.value;
        } else if (a.is("--screenshot")) {
            o.screenshot = a.value;
        } else if (a.is("--screenshot-tuner")) {
            o.screenshot_tuner = a.value;
            if (word_follows) {
                bool ok = false;
                o.tuner_hz = QString::fromStdString(items[++i].value).toDouble(&ok);
                if (!ok || !(o.tuner_hz > 0.0 && o.tuner_hz < 20000.0)) return "--screenshot-tuner: HZ must be 0..20000";
            }
        } else if (a.is("--screenshot-editor")) {
            if (!word_follows) return "--screenshot-editor needs a KIND and a FILE.png";
            o.screenshot_editor = std::pair{a.value, items[++i].value};
        } else if (a.positional()) {
            return "unexpected argument \"" + a.value + "\"";
        }
    }
    if (o.screenshot && o.screenshot_editor) return "--screenshot and --screenshot-editor go one at a time";
    return "";
}

bool save_png(QWidget& w, const std::string& file) {
    return w.grab().save(QString::fromStdString(file), "PNG");
}

// The tuner window on a tap of its own holding a steady tone (no engine runs to be muted).
int screenshot_tuner(const Options& o) {
    set_settings_read_only(true);
    InputTap tap;
    const int32_t rate = 48000;
    std::vector<float> tone(8192);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<float>(8000.0 * std::sin(2.0 * 3.14159265358979323846 * o.tuner_hz * i / rate));
    for (size_t i = 0; i + 512 <= tone.size(); i += 512) tap.push(&tone[i], 512, 1, rate);
    TTuner_form form(program_folder(o.home), tap);
    TunerWindow window(form);
    form.show();
    form.update();
    QApplication::processEvents();
    const bool written = save_png(window, *o.screenshot_tuner);
    form.hide();
    if (!written) {
        complain("cannot write the screenshot to \"" + *o.screenshot_tuner + "\"");
        return 2;
    }
    return 0;
}

int screenshot_editor(const std::string& kind_word, const std::string& file) {
    set_settings_read_only(true);
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
    const bool written = save_png(*window, file);
    // Not destroy_instance: closing an editor may write settings, which a screenshot must not.
    force_destroy_instance(inst);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (!written) {
        complain("cannot write the screenshot to \"" + file + "\"");
        return 2;
    }
    return 0;
}

// For a screenshot nobody is there to answer a message box: messages go to stderr.
class UnattendedServices : public QtServices {
public:
    void message(const std::string& text) override { complain(text); }
    void warning(const std::string& text) override { complain(text); }
    bool confirm(const std::string& text) override {
        complain(text + " (no)");
        return false;
    }
};

}  // namespace

void offer_midi_menu(MidiControl& midi) {
    set_control_menu([&midi](Form& f, Control& c, QMenu& menu) {
        const auto target = midi.target_of(f, c);
        if (!target) return;
        menu.addAction(QStringLiteral("MIDI learn"), [&midi, &f, &c] { midi.learn(f, c); });
        QAction* forget = menu.addAction(QStringLiteral("MIDI forget"), [&midi, &f, &c] { midi.forget(f, c); });
        forget->setEnabled(midi.bindings().binding_of(*target).has_value());
    });
}

namespace {

// MIDI: the input port, woken handling on this thread, and "MIDI learn" / "MIDI forget" on the
// right-click menu of every slot's controls.
void start_midi(TForm1& form, QWidget& window) {
    MidiControl& midi = form.midi();
    static std::atomic<bool> posted{false};
    midi.on_queued = [&midi, &window] {
        // One wake-up for a burst: the drain takes all that came meanwhile.
        if (posted.exchange(true)) return;
        QMetaObject::invokeMethod(&window, [&midi] {
            posted.store(false);
            midi.drain();
        }, Qt::QueuedConnection);
    };
    offer_midi_menu(midi);
    form.open_midi();
}

// The desktop program: the main window on the real drivers until it closes, or, with a screenshot
// file, only until its first show has been drawn.
int run_program(const Options& o) {
    const std::filesystem::path folder = program_folder(o.home);
    std::unique_ptr<QtServices> owned =
        o.screenshot ? std::make_unique<UnattendedServices>() : std::make_unique<QtServices>();
    QtServices& services = *owned;
    // Before the form, so that the editors' dialogs outlive its instances.
    ServicesForEditors editor_dialogs(services);
    if (o.screenshot) set_settings_read_only(true);
    QTimer editor_timers;
    QObject::connect(&editor_timers, &QTimer::timeout, [] { advance_form_timers(TForm1::kTimer1IntervalMs); });
    editor_timers.start(TForm1::kTimer1IntervalMs);
    LibraryDrivers drivers((folder / "temp" / "live-output.wav").string());
    // Declared in this order so that the window goes first, then the form with its instances,
    // then the drivers.
    auto form = std::make_unique<TForm1>(services, drivers, folder);
    auto window = std::make_unique<MainWindow>(*form);
    services.set_parent(window.get());
    QObject::connect(window.get(), &MainWindow::closed, qApp, [] { QCoreApplication::exit(0); });
    form->show();
    if (!o.screenshot) {
        close_on_termination_signals(window.get());
        start_midi(*form, *window);
        // The port goes before the window its thread wakes.
        struct MidiOff {
            TForm1& form;
            ~MidiOff() {
                form.midi().use_port(nullptr);
                set_control_menu(nullptr);
            }
        } midi_off{*form};
        return QApplication::exec();
    }

    QApplication::processEvents();
    // A device failure at the first show has already said so; the picture is still taken.
    if (!save_png(*window, *o.screenshot)) {
        complain("cannot write the screenshot to \"" + *o.screenshot + "\"");
        return 2;
    }
    return 0;
}

}  // namespace

void close_on_termination_signals(QWidget* window) {
    if (signal_pipe[0] < 0 && ::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        complain("cannot watch for SIGTERM and SIGINT; close the window to keep the settings");
        return;
    }
    auto* notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char bytes[64];
        while (::read(signal_pipe[0], bytes, sizeof bytes) > 0) {
        }
        window->close();
    });
    struct sigaction sa {};
    sa.sa_handler = on_termination_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

void quiet_platform_notices() {
    static QtMessageHandler next = nullptr;
    next = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (text.startsWith(QLatin1String("This plugin does not support"))) return;
        // Offscreen drawing needs no runtime folder of a desktop session.
        if (text.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))) return;
        if (next) next(type, context, text);
    });
}

int run_gui(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    if (wants_offscreen(argc, argv) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!has_display()) {
        complain("no display: neither DISPLAY nor WAYLAND_DISPLAY is set.\n"
                 "  varnomix --nogui runs the live engine without windows (varnomix --nogui --help)");
        return 2;
    }
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen") quiet_platform_notices();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Varnomix"));
    // No display name: the desktop would add it to every window's title, and the main window's title
    // starts with the program's name already. Dialogs take the application name.

    Options o;
    if (const std::string err = parse(QApplication::arguments(), o); !err.empty()) return usage_error(err);
    if (o.screenshot_tuner) return screenshot_tuner(o);
    if (o.screenshot_editor) return screenshot_editor(o.screenshot_editor->first, o.screenshot_editor->second);
    return run_program(o);
}

}  // namespace vx
