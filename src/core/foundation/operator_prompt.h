#pragma once

#include <string>

namespace velk {

enum class PromptIcon { None, Information, Exclamation, Warning, Error };

// Every message box and confirmation of the program goes through this interface, so that the
// window shows real boxes, the headless collector writes the text to standard error and tests
// answer and check the exact texts.
class OperatorPrompt {
public:
    virtual ~OperatorPrompt() = default;
    // A message with an OK button.
    virtual void Message(const std::string& text, const std::string& caption = {},
                         PromptIcon icon = PromptIcon::None) = 0;
    // A Yes/No question; true for Yes.
    virtual bool Confirm(const std::string& text, const std::string& caption,
                         PromptIcon icon = PromptIcon::Exclamation) = 0;
    // The open-file dialog: an existing file; the filter in the form "Name (*.x)|*.x|*.*|*.*||".
    // Empty when the operator cancelled (or nobody is there to choose).
    virtual std::string ChooseFile(const std::string& filter) {
        (void)filter;
        return {};
    }
    // The save-file dialog: a file to write (it may exist); empty when cancelled.
    virtual std::string ChooseFileToSave(const std::string& filter) {
        (void)filter;
        return {};
    }
};

// Message texts shared by several places.
inline constexpr const char* kIniUpdateFailed = "Impossible to Update *.ini file!";
inline constexpr const char* kAreYouSure = "    Are you sure?";

}  // namespace velk
