// A scripted stand-in for the desktop: records every message, quit and dialog, and answers the
// dialogs from queues a test fills.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/services.h"

namespace vx::test {

class FakeServices : public Services {
public:
    struct Message {
        bool warning = false;
        std::string text;
    };
    std::vector<Message> messages;
    std::vector<int> quits;

    std::deque<std::optional<std::string>> open_answers, save_answers;  // empty queue: cancel
    std::vector<FileDialog> open_dialogs, save_dialogs;
    std::function<void()> while_dialog_open;  // runs inside every file dialog, before it answers
    Point pointer_at;
    std::vector<Point> pointer_moves;
    std::vector<std::string> urls;
    std::vector<std::string> folders;  // opened in the file manager
    std::vector<std::string> questions;
    std::deque<bool> confirm_answers;  // empty queue: No

    bool unpack_result = true;
    std::vector<std::pair<std::string, std::string>> unpacked;  // (zip, folder)
    std::vector<std::pair<const Form*, std::string>> loaded_skins;  // (window, skin.ini)
    std::string loaded_skin_name;

    void message(const std::string& text) override { messages.push_back({false, text}); }
    void warning(const std::string& text) override { messages.push_back({true, text}); }
    std::optional<std::string> open_file(const FileDialog& d) override { return answer(open_dialogs, open_answers, d); }
    std::optional<std::string> save_file(const FileDialog& d) override { return answer(save_dialogs, save_answers, d); }
    Point pointer() override { return pointer_at; }
    void move_pointer(Point p) override {
        pointer_moves.push_back(p);
        pointer_at = p;
    }
    void open_url(const std::string& url) override { urls.push_back(url); }
    void open_folder(const std::string& path) override { folders.push_back(path); }
    bool confirm(const std::string& text) override {
        questions.push_back(text);
        if (confirm_answers.empty()) return false;
        const bool a = confirm_answers.front();
        confirm_answers.pop_front();
        return a;
    }
    void quit(int exit_status) override { quits.push_back(exit_status); }
    bool unpack_skin(const std::string& zip, const std::string& folder) override {
        unpacked.emplace_back(zip, folder);
        return unpack_result;
    }
    void load_skin(Form& window, const std::string& skin_ini) override { loaded_skins.emplace_back(&window, skin_ini); }
    std::string skin_name() override { return loaded_skin_name; }

    // The texts of the messages so far, warnings included, in order.
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (const Message& m : messages) t.push_back(m.text);
        return t;
    }

private:
    std::optional<std::string> answer(std::vector<FileDialog>& seen, std::deque<std::optional<std::string>>& q,
                                      const FileDialog& d) {
        seen.push_back(d);
        if (while_dialog_open) while_dialog_open();
        if (q.empty()) return std::nullopt;
        auto a = q.front();
        q.pop_front();
        return a;
    }
};

}  // namespace vx::test
