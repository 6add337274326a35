// Lends the desktop's message boxes and file dialogs to the effects' editors for as long as it
// lives; the one lent before comes back when it goes.
#pragma once

#include "app/services.h"
#include "engine/forms.h"

namespace vx {

class ServicesForEditors : public EditorDialogs {
public:
    explicit ServicesForEditors(Services& s) : services_(s), before_(set_editor_dialogs(this)) {}
    ~ServicesForEditors() override { set_editor_dialogs(before_); }
    ServicesForEditors(const ServicesForEditors&) = delete;
    ServicesForEditors& operator=(const ServicesForEditors&) = delete;

    void message(const std::string& text) override { services_.message(text); }
    void warning(const std::string& text) override { services_.warning(text); }
    std::optional<std::string> open_file(const FileDialogRequest& r) override { return services_.open_file(dialog(r)); }
    std::optional<std::string> save_file(const FileDialogRequest& r) override { return services_.save_file(dialog(r)); }

private:
    static Services::FileDialog dialog(const FileDialogRequest& r) {
        Services::FileDialog d;
        d.caption = r.title;
        d.filters = r.filters;
        d.file_name = r.file_name;
        return d;
    }
    Services& services_;
    EditorDialogs* before_;
};

}  // namespace vx
