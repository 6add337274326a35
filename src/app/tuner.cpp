#include "tuner.h"

#include <aubio/aubio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "drivers/tuner_tap.h"
#include "engine/ini.h"
#include "engine/program_folder.h"

namespace vx {

namespace {
constexpr const char* kSection = "Tuner";
constexpr const char* kReferenceKey = "Reference";
// YIN's confidence (1 - the dip of its difference function) below which a window holds no clear
// period: noise, a chord, the scrape of a pick.
constexpr double kMinConfidence = 0.85;
}  // namespace

std::string note_name(int midi) {
    static const char* const names[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    const int pc = ((midi % 12) + 12) % 12;
    const int octave = (midi - pc) / 12 - 1;
    return names[pc] + std::to_string(octave);
}

TunerReading name_pitch(double hz, double a4_hz) {
    TunerReading r;
    if (!(hz > 0.0) || !std::isfinite(hz) || !(a4_hz > 0.0) || !std::isfinite(a4_hz)) return r;
    const double semitones = 69.0 + 12.0 * std::log2(hz / a4_hz);
    const double n = std::nearbyint(semitones);
    if (std::fabs(n) > 1000.0) return r;
    r.pitched = true;
    r.hz = hz;
    r.midi = static_cast<int>(n);
    r.cents = (semitones - n) * 100.0;
    r.note = note_name(r.midi);
    return r;
}

std::string format_reading(const TunerReading& r) {
    if (!r.pitched) return "tuner  --";
    // Rounded first, so that a deviation a hair below zero is not written "-0.0".
    double cents = std::nearbyint(r.cents * 10.0) / 10.0;
    if (cents == 0.0) cents = 0.0;
    char line[96];
    std::snprintf(line, sizeof line, "tuner  %-4s%6.2f Hz%+7.1f cents", r.note.c_str(), r.hz, cents);
    return line;
}

// --- detection -----------------------------------------------------------------------------

struct PitchDetector::Impl {
    aubio_pitch_t* pitch = nullptr;
    fvec_t* in = nullptr;
    fvec_t* out = nullptr;
    ~Impl() {
        if (pitch) del_aubio_pitch(pitch);
        if (in) del_fvec(in);
        if (out) del_fvec(out);
    }
};

PitchDetector::PitchDetector(int32_t sample_rate) : rate_(std::clamp(sample_rate, 8000, 192000)), impl_(new Impl) {
    // Two periods of the lowest note and some margin, as a power of two for the FFT.
    window_ = 1024;
    while (window_ < 0.08 * rate_) window_ *= 2;
    const auto n = static_cast<uint_t>(window_);
    impl_->pitch = new_aubio_pitch("yinfast", n, n, static_cast<uint_t>(rate_));
    impl_->in = new_fvec(n);
    impl_->out = new_fvec(1);
    if (impl_->pitch) {
        aubio_pitch_set_unit(impl_->pitch, "Hz");
        // The gate is ours, on the whole window.
        aubio_pitch_set_silence(impl_->pitch, -200.0f);
    }
}

PitchDetector::~PitchDetector() = default;

double PitchDetector::detect(const float* samples) {
    if (impl_->pitch == nullptr || impl_->in == nullptr || impl_->out == nullptr) return 0.0;
    double energy = 0.0;
    for (int32_t i = 0; i < window_; ++i) {
        const double x = std::isfinite(samples[i]) ? samples[i] / 32768.0 : 0.0;
        energy += x * x;
        impl_->in->data[i] = static_cast<smpl_t>(x);
    }
    const double rms = std::sqrt(energy / window_);
    if (!(rms > 0.0) || 20.0 * std::log10(rms) < kGateDbfs) return 0.0;
    aubio_pitch_do(impl_->pitch, impl_->in, impl_->out);
    const double hz = impl_->out->data[0];
    if (aubio_pitch_get_confidence(impl_->pitch) < kMinConfidence) return 0.0;
    if (!(hz >= kMinHz && hz <= kMaxHz)) return 0.0;
    return refine(hz);
}

// YIN's interpolation is good to a small part of a sample, which at a high note (a period of a few
// dozen samples) is more than a cent. The same dip measured at the largest multiple of the period
// that fits in half the window spreads that error over all the periods in it.
double PitchDetector::refine(double hz) const {
    // First over a few periods, where YIN's error is still well within a lag, then over all.
    const double most = std::floor((window_ / 2 - 1) * hz / rate_);
    if (most > 4.0) hz = refine_over(hz, 4.0);
    return refine_over(hz, most);
}

double PitchDetector::refine_over(double hz, double periods) const {
    const double period = rate_ / hz;
    const int32_t half = window_ / 2;
    if (periods < 1.0 || periods * period > half - 1) return hz;
    auto centre = static_cast<int32_t>(std::lround(periods * period));
    const float* x = impl_->in->data;
    auto difference = [&](int32_t lag) {
        double d = 0.0;
        for (int32_t i = 0; i < half; ++i) {
            const double e = static_cast<double>(x[i]) - x[i + lag];
            d += e * e;
        }
        return d;
    };
    // YIN's small error, times the periods, may put the dip a few lags away: walk down to it.
    double a = difference(centre - 1), b = difference(centre), c = difference(centre + 1);
    for (int step = 0; step < 8 && !(b <= a && b <= c); ++step) {
        if (a < c) {
            if (centre - 2 < 1) return hz;
            --centre;
            c = b;
            b = a;
            a = difference(centre - 1);
        } else {
            if (centre + 1 >= half) return hz;
            ++centre;
            a = b;
            b = c;
            c = difference(centre + 1);
        }
    }
    const double curvature = a - 2.0 * b + c;
    // No dip near this lag (the period drifts): keep YIN's estimate.
    if (!(curvature > 0.0) || b > a || b > c) return hz;
    const double lag = centre + 0.5 * (a - c) / curvature;
    return rate_ / (lag / periods);
}

// --- the window ----------------------------------------------------------------------------

TTuner_form::TTuner_form(std::filesystem::path program_folder, InputTap& tap)
    : Form("Tuner", 480, 320), program_folder_(std::move(program_folder)), tap_(tap) {
    caption_buttons = true;
    TrackBar_Reference.label = "A4 = 440 Hz";
    TrackBar_Reference.hint = "The pitch of A4 the notes are named from";
    CheckBox_Mute.hint = "Silence the output while this window is open";
    Label_Note.bounds = {16, 16, 448, 120};
    Label_Frequency.bounds = {16, 140, 220, 32};
    Label_Cents.bounds = {244, 140, 220, 32};
    TrackBar_Reference.bounds = {16, 240, 300, 24};
    CheckBox_Mute.bounds = {16, 280, 300, 24};
    add(Label_Note);
    add(Label_Frequency);
    add(Label_Cents);
    add(TrackBar_Reference);
    add(CheckBox_Mute);

    const IniFile ini((program_folder_ / "face.ini").string());
    TrackBar_Reference.set_position(ini.read_int(kSection, kReferenceKey, kReferenceDefault));
    saved_reference_ = TrackBar_Reference.position();
    TrackBar_ReferenceChange();

    TrackBar_Reference.on_change = [this] { TrackBar_ReferenceChange(); };
    CheckBox_Mute.on_click = [this] { CheckBox_MuteClick(); };
    Timer_Tuner.on_timer = [this] { Timer_TunerTimer(); };
    observer_ = observe([this](const Form& f) {
        if (f.destroyed()) return;
        apply_mute();
        if (!f.visible()) write_settings();
    });
}

TTuner_form::~TTuner_form() {
    unobserve(observer_);
    if (muting_) set_output_mute(false);
    write_settings();
}

void TTuner_form::apply_mute() {
    const bool want = visible() && CheckBox_Mute.checked();
    if (want == muting_) return;
    muting_ = want;
    set_output_mute(want);
}

void TTuner_form::write_settings() {
    if (TrackBar_Reference.position() == saved_reference_ || settings_read_only()) return;
    IniFile ini((program_folder_ / "face.ini").string());
    ini.write_int(kSection, kReferenceKey, TrackBar_Reference.position());
    // A tuner setting is not worth a dialog; the file keeps what it had.
    if (ini.save().empty()) saved_reference_ = TrackBar_Reference.position();
}

void TTuner_form::TrackBar_ReferenceChange() {
    TrackBar_Reference.label = "A4 = " + std::to_string(TrackBar_Reference.position()) + " Hz";
    // The shown note follows the new reference at once.
    show_reading(name_pitch(reading_.hz, reference_hz()));
}

void TTuner_form::CheckBox_MuteClick() { apply_mute(); }

void TTuner_form::Timer_TunerTimer() {
    if (visible()) update();
}

void TTuner_form::update() {
    const int32_t rate = tap_.sample_rate();
    if (rate <= 0) {
        show_reading(TunerReading{});
        return;
    }
    if (!detector_ || detector_->sample_rate() != rate) {
        detector_ = std::make_unique<PitchDetector>(rate);
        samples_.assign(static_cast<size_t>(detector_->window()), 0.0f);
    }
    // Overtaken while copying (a stalled interface thread): the previous reading stands.
    if (!tap_.read_newest(samples_.data(), detector_->window())) {
        if (tap_.written() < detector_->window()) show_reading(TunerReading{});
        return;
    }
    show_reading(name_pitch(detector_->detect(samples_.data()), reference_hz()));
}

void TTuner_form::show_reading(const TunerReading& r) {
    reading_ = r;
    if (!r.pitched) {
        Label_Note.set_caption("--");
        Label_Frequency.set_caption("");
        Label_Cents.set_caption("");
    } else {
        char hz[32], cents[32];
        std::snprintf(hz, sizeof hz, "%.2f Hz", r.hz);
        double c = std::nearbyint(r.cents * 10.0) / 10.0;
        if (c == 0.0) c = 0.0;
        std::snprintf(cents, sizeof cents, "%+.1f cents", c);
        Label_Note.set_caption(r.note);
        Label_Frequency.set_caption(hz);
        Label_Cents.set_caption(cents);
    }
    // The needle is drawn from reading(); its views hear of it here.
    notify();
}

}  // namespace vx
