#include "support/ordinary_user.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velk::test {

namespace {
constexpr uid_t kNobody = 65534;
}

unsigned OrdinaryUid() {
    return ::geteuid() == 0 ? kNobody : ::geteuid();
}

int AsOrdinaryUser(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
            ::_exit(255);
        }
        ::_exit(body());
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

}  // namespace velk::test
