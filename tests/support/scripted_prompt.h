#pragma once

#include <deque>
#include <string>
#include <vector>

#include "core/foundation/operator_prompt.h"

namespace velk::test {

// Records every message and question and answers questions from a script (No when it runs dry).
class ScriptedPrompt : public OperatorPrompt {
public:
    struct Shown {
        std::string text;
        std::string caption;
        PromptIcon icon;
        bool question;
    };

    void Message(const std::string& text, const std::string& caption, PromptIcon icon) override {
        shown.push_back({text, caption, icon, false});
    }
    bool Confirm(const std::string& text, const std::string& caption, PromptIcon icon) override {
        shown.push_back({text, caption, icon, true});
        if (answers.empty())
            return false;
        const bool a = answers.front();
        answers.pop_front();
        return a;
    }

    std::string ChooseFile(const std::string& filter) override {
        filters.push_back(filter);
        if (files.empty())
            return {};
        std::string f = files.front();
        files.pop_front();
        return f;
    }

    std::string ChooseFileToSave(const std::string& filter) override {
        return ChooseFile(filter);
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> t;
        for (const auto& s : shown)
            t.push_back(s.text);
        return t;
    }

    std::deque<bool> answers;
    std::deque<std::string> files;  // what the file dialog answers
    std::vector<std::string> filters;
    std::vector<Shown> shown;
};

}  // namespace velk::test
