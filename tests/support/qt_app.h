#pragma once

#include <QApplication>

namespace velk::test {

// Tests that need Qt run under qt_test_main, which owns the one QApplication of the program.
// Fixtures hold a QtApp member to say so.
class QtApp {
public:
    QtApp() { Q_ASSERT(QApplication::instance() != nullptr); }
};

}  // namespace velk::test
