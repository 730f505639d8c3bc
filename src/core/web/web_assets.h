#pragma once

namespace velk {

// The console's style sheet and script, served as files of their own (the pages hold no script:
// their Content-Security-Policy allows none inline).
extern const char* const kConsoleCss;
extern const char* const kConsoleScript;

}  // namespace velk
