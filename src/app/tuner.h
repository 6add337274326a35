// The tuner: the pitch of the input as it enters the rack (before any effect), as a note with its
// octave, the deviation in cents and the frequency. The capture thread only copies each block into
// the input tap (drivers/tuner_tap.h); the detection runs here, on the user-interface thread, on
// the newest samples, with aubio's YIN detector.
//
// TTuner_form is the tuner window without a toolkit:
//   Label_Note                 "E2", "C#4", ...; "--" when no pitch is found
//   Label_Frequency            "82.41 Hz"; Label_Cents "-3.0 cents"
//   TrackBar_Reference         the pitch of A4, 430..450 Hz, 440 (face.ini, [Tuner] Reference)
//   CheckBox_Mute              "Mute while tuning", on: the output is silent while the window is
//                              shown; hiding or closing the window gives the sound back
//   Timer_Tuner                every 100 ms while shown: a new reading
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/forms.h"

namespace vx {

class InputTap;

struct TunerReading {
    bool pitched = false;
    double hz = 0.0;
    int midi = 0;         // the nearest note, 69 = A4
    double cents = 0.0;   // from that note, -50..+50
    std::string note;     // "E2"
};

// The name of a MIDI note number with its octave, sharps written "#": 40 -> "E2", 61 -> "C#4".
std::string note_name(int midi);
// The nearest note to `hz` for the pitch `a4_hz` of A4; not pitched for a frequency that is not
// finite and positive.
TunerReading name_pitch(double hz, double a4_hz);
// One line of the headless tuner: "tuner  E2   82.41 Hz   -3.0 cents", or "tuner  --".
std::string format_reading(const TunerReading& r);

// The fundamental of a monophonic signal, 38..1400 Hz (a bass's low E to beyond E6).
class PitchDetector {
public:
    static constexpr double kMinHz = 38.0;
    static constexpr double kMaxHz = 1400.0;
    // Below this RMS level (dB below full scale of the 16-bit range) nothing is read.
    static constexpr double kGateDbfs = -55.0;

    explicit PitchDetector(int32_t sample_rate);
    ~PitchDetector();
    PitchDetector(const PitchDetector&) = delete;
    PitchDetector& operator=(const PitchDetector&) = delete;

    int32_t sample_rate() const { return rate_; }
    // Samples each detection looks at: about 85 ms, enough for two periods of the lowest note.
    int32_t window() const { return window_; }
    // The pitch of window() samples on the 16-bit scale, oldest first; 0 when there is none (below
    // the gate, no clear period, or outside the range).
    double detect(const float* samples);

private:
    double refine(double hz) const;
    double refine_over(double hz, double periods) const;
    struct Impl;
    int32_t rate_;
    int32_t window_;
    std::unique_ptr<Impl> impl_;
};

class TTuner_form : public Form {
public:
    // `program_folder` holds face.ini; `tap` is where the input's samples come from.
    TTuner_form(std::filesystem::path program_folder, InputTap& tap);
    ~TTuner_form() override;

    static constexpr int kReferenceMin = 430, kReferenceMax = 450, kReferenceDefault = 440;
    static constexpr double kInTuneCents = 2.0;

    Label Label_Note{"Label_Note", "--"};
    Label Label_Frequency{"Label_Frequency", ""};
    Label Label_Cents{"Label_Cents", ""};
    Slider TrackBar_Reference{"TrackBar_Reference", kReferenceMin, kReferenceMax, kReferenceDefault, 1, 1};
    CheckBox CheckBox_Mute{"CheckBox_Mute", "Mute while tuning", true, true};
    FormTimer Timer_Tuner{100};

    // Reads the newest samples of the tap and shows what they hold.
    void update();
    const TunerReading& reading() const { return reading_; }
    double reference_hz() const { return TrackBar_Reference.position(); }
    // Within the green zone of the needle.
    bool in_tune() const { return reading_.pitched && reading_.cents >= -kInTuneCents && reading_.cents <= kInTuneCents; }

    void TrackBar_ReferenceChange();
    void CheckBox_MuteClick();
    void Timer_TunerTimer();

private:
    void show_reading(const TunerReading& r);
    // The output is muted exactly while the window is shown with the box checked.
    void apply_mute();
    void write_settings();

    std::filesystem::path program_folder_;
    InputTap& tap_;
    std::unique_ptr<PitchDetector> detector_;
    std::vector<float> samples_;
    TunerReading reading_;
    bool muting_ = false;
    int32_t saved_reference_ = kReferenceDefault;
    int observer_ = 0;
};

}  // namespace vx
