#include "support/pty_pair.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace velk::test {

PtyPair::PtyPair(const std::filesystem::path& dir) : pbx_(dir / "pbx"), velk_(dir / "velk") {
    const std::string a = "pty,raw,echo=0,link=" + pbx_.string();
    const std::string b = "pty,raw,echo=0,link=" + velk_.string();
    pid_ = ::fork();
    if (pid_ == 0) {
        ::execlp("socat", "socat", a.c_str(), b.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 500 && pid_ > 0; ++i) {
        if (std::filesystem::exists(pbx_) && std::filesystem::exists(velk_)) {
            ok_ = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

PtyPair::~PtyPair() {
    Close();
}

void PtyPair::Close() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace velk::test
