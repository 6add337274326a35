// FX chain files on the main window: Save and Load FX chain, the presets selector and F1..F12.
// Every file lives in PRESETS/ below the program folder.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>

#include "Unit1.h"
#include "engine/program_folder.h"

namespace fs = std::filesystem;

namespace vx {

ChainFile chain_file_record;

namespace {

constexpr const char* kPresetsEntry = "PRESETS (Click to refresh list)";
constexpr const char* kDownloadEntry = "Download From Internet";

bool same_text_ignoring_case(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

void TForm1::create_preset_controls() {
    spSkinButton17.bounds = {368, 176, 120, 24};
    spSkinButton18.bounds = {496, 176, 120, 24};
    ComboBox_PRESETS.bounds = {368, 208, 248, 24};
    ComboBox_SKINS.bounds = {368, 240, 248, 24};
    for (Control* c : std::initializer_list<Control*>{&spSkinButton17, &spSkinButton18, &ComboBox_PRESETS})
        c->group = "Presets";
    ComboBox_SKINS.group = "Skins";
    spSkinButton17.hint = "Save the rack as an FX chain file";
    spSkinButton18.hint = "Load an FX chain file into the rack";
    ComboBox_PRESETS.hint = "FX chain files; F1 .. F12 load the ones named \"F1 ...\" .. \"F12...\"";
    ComboBox_SKINS.hint = "The look of the windows";
    // The fixed entries, before any handler is wired.
    for (Selector* s : {&ComboBox_PRESETS, &ComboBox_SKINS}) {
        s->add_item(s == &ComboBox_PRESETS ? kPresetsEntry : "SKINS");
        s->add_item(kDownloadEntry);
        s->set_index(0);
    }
    add(spSkinButton17);
    add(spSkinButton18);
    add(ComboBox_PRESETS);
    add(ComboBox_SKINS);
    spSkinButton17.on_click = [this] { spSkinButton17Click(); };
    spSkinButton18.on_click = [this] { spSkinButton18Click(); };
    ComboBox_PRESETS.on_select = [this] { ComboBox_PRESETSClick(); };
    ComboBox_PRESETS.on_change = [this] { ComboBox_PRESETSChange(); };
    ComboBox_SKINS.on_select = [this] { ComboBox_SKINSClick(); };
    ComboBox_SKINS.on_change = [this] { ComboBox_SKINSChange(); };
}

std::string TForm1::presets_folder() const { return (program_folder_ / "PRESETS").string(); }

std::vector<std::string> TForm1::chain_file_names() const { return list_files(presets_folder(), "", ".pre"); }

bool TForm1::save_chain_file(const std::string& path) {
    // Longer paths are not cut here: that would save under a name the user did not choose.
    if (path.size() > 255) {
        services_.warning("The FX chain was not saved: the path \"" + path + "\" is longer than 255 characters.");
        return false;
    }
    fill_chain_record(chain_file_record, rack_table_);
    if (const std::string why = write_chain_file(path, chain_file_record); !why.empty()) {
        services_.warning("The FX chain was not saved: cannot write \"" + path + "\" (" + why + ").");
        return false;
    }
    mark_rack_kept(fs::path(path).stem().string());
    return true;
}

// The title compares what a save would write now with what the last load or save left: whatever
// the user changed, in the rack or in an editor, shows, and a change taken back does not.
bool TForm1::rack_changed() const {
    ChainFile now;
    fill_chain_record(now, rack_table_);
    return std::memcmp(now.kind, kept_.kind, sizeof now.kind) != 0 ||
           std::memcmp(now.onoff, kept_.onoff, sizeof now.onoff) != 0 ||
           std::memcmp(now.blocks, kept_.blocks, sizeof now.blocks) != 0;
}

void TForm1::mark_rack_kept(const std::string& name) {
    kept_ = ChainFile{};
    fill_chain_record(kept_, rack_table_);
    chain_name_ = name;
    refresh_title();
}

void TForm1::refresh_title() {
    // Before the rack exists, and while a file is half applied, there is nothing to compare.
    if (!first_show_done_ || chain_loading_) return;
    std::string t = "Varnomix";
    if (!chain_name_.empty()) t += " \u2014 " + chain_name_;
    if (rack_changed()) t += " *";
    if (t == title_) return;
    title_ = std::move(t);
    notify();
}

bool TForm1::load_chain_file(const std::string& given) {
    // A second load from inside the first (a dialog's own event loop) would build on a half-made rack.
    if (chain_loading_) return false;
    const std::string path = cut_path(given);
    const std::string name = fs::path(path).filename().string();
    std::string why;
    if (!read_chain_file(path, chain_file_record, &why)) {
        // The rack stays as it was; the user must not take it for the file chosen.
        services_.message("not a Varnomix preset: " + name);
        return false;
    }
    last_chain_file_ = path;
    std::string unknown;
    for (const auto& [n, k] : unknown_kinds(chain_file_record)) {
        if (!unknown.empty()) unknown += '\n';
        unknown.append("slot ").append(std::to_string(n)).append(": unknown effect kind ");
        unknown.append(std::to_string(k)).append(", left empty");
    }
    // The selectors show the new kinds without rebuilding their slots: the loader builds each once,
    // while the old rack keeps playing.
    chain_loading_ = true;
    const auto old = apply_chain_record(chain_file_record, rack_table_, [this](int32_t i, EffectKind k) {
        // The old editor closes before the new instance is made, as a rebuild does: Distortorton
        // Plus writes the settings file here that the next one reads.
        if (EffectInstance inst = rack_table_.instance[i]; inst != nullptr && inst->form != nullptr) {
            inst->form->hide();
            (void)inst->form->close();  // one that refuses still goes; it has said why
        }
        Selector& kind = slot(i + 1).kind;
        kind.set_index(k);
        return selected_kind(kind);
    });
    chain_loading_ = false;
    // No walk reaches them now; their windows are closed already.
    for (EffectInstance inst : old) force_destroy_instance(inst);
    for (int n = 1; n <= kSlots; ++n) slot(n).onoff.set_checked(rack_table_.enabled[n - 1] != 0);
    // As after any rebuild of a slot.
    rack_gate = 1;
    rack_edited();
    mark_rack_kept(fs::path(path).stem().string());
    if (!unknown.empty()) services_.message(unknown);
    return true;
}

void TForm1::spSkinButton17Click() {
    spSkinButton17.set_enabled(false);
    spSkinButton17.set_caption("Wait...");
    // No default suffix: the ".pre" rule below decides alone. The dialog cannot know the name the
    // rule makes, so the question about replacing a file is asked here, of that name.
    const auto path = services_.save_file({"Save file", presets_folder(), "", {"Presets (*.pre)"}, "", false});
    if (path) {
        const std::string target = with_pre_suffix(*path);
        std::error_code ec;
        if (!fs::exists(target, ec) ||
            services_.confirm(fs::path(target).filename().string() + " already exists. Do you want to replace it?"))
            save_chain_file(target);
    }
    spSkinButton17.set_enabled(true);
    spSkinButton17.set_caption("Save FX chain");
}

void TForm1::spSkinButton18Click() {
    spSkinButton18.set_enabled(false);
    spSkinButton18.set_caption("Wait...");
    const auto path = services_.open_file({"Open file", presets_folder(), "", {"Presets (*.pre)"}, ""});
    if (path) load_chain_file(*path);
    services_.message("Fast FX chain load: press F1 .. F12.");
    spSkinButton18.set_enabled(true);
    spSkinButton18.set_caption("Load FX chain");
}

void TForm1::choose_list_entry(Selector& selector, bool& busy, const char* first_entry, const std::string& folder,
                               const char* extension) {
    if (busy) return;
    if (selector.index() == 0) {
        // Refilling runs the selector's own handlers again; the flag keeps this one out.
        busy = true;
        selector.clear();
        selector.add_item(first_entry);
        selector.add_item(kDownloadEntry);
        for (const std::string& n : list_files(folder, "", extension)) selector.add_item(n);
        selector.set_index(0);
        busy = false;
    } else if (selector.index() == 1) {
        // Nothing to download from yet: the folder shows where such files go.
        std::error_code ec;
        fs::create_directories(folder, ec);
        services_.open_folder(folder);
    }
}

void TForm1::ComboBox_PRESETSClick() {
    choose_list_entry(ComboBox_PRESETS, presets_busy_, kPresetsEntry, presets_folder(), ".pre");
}

void TForm1::ComboBox_PRESETSChange() {
    // Below 2: the fixed entries, or no selection at all (an F-key found no entry).
    if (presets_busy_ || ComboBox_PRESETS.index() < 2) return;
    if (load_chain_file((fs::path(presets_folder()) / ComboBox_PRESETS.text()).string())) return;
    // Not applied: the list goes back to the file that is loaded, or to its first entry.
    int shown = 0;
    const std::vector<std::string>& items = ComboBox_PRESETS.items();
    const fs::path last(last_chain_file_);
    std::error_code ec;
    if (!last_chain_file_.empty() && fs::equivalent(last.parent_path(), presets_folder(), ec))
        for (size_t i = 2; i < items.size(); ++i)
            if (items[i] == last.filename().string()) shown = static_cast<int>(i);
    presets_busy_ = true;
    ComboBox_PRESETS.set_index(shown);
    presets_busy_ = false;
}

void TForm1::FormKeyUp(int32_t function_key) {
    const std::string prefix = fkey_prefix(function_key);
    if (prefix.empty() || key_busy_) return;
    key_busy_ = true;
    const std::vector<std::string> files = list_files(presets_folder(), prefix, ".pre");
    if (!files.empty()) {
        const std::vector<std::string>& items = ComboBox_PRESETS.items();
        int found = -1;
        for (size_t i = 0; i < items.size() && found < 0; ++i)
            if (same_text_ignoring_case(items[i], files.front())) found = static_cast<int>(i);
        // The change handling loads it, unless it is already shown.
        ComboBox_PRESETS.set_index(found);
    }
    key_busy_ = false;
}

}  // namespace vx
