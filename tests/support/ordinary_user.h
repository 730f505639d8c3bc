#pragma once

#include <functional>
#include <string>

namespace velk::test {

// Runs body in a child process as an ordinary user, so that file ownership and permissions count
// as they do for an operator: a root test run makes the child the user "nobody" (uid and gid
// 65534); anybody else stays who they are. Returns the child's exit code: body's result, or -1
// when the child could not run or died.
int AsOrdinaryUser(const std::function<int()>& body);

// The uid the body runs as.
unsigned OrdinaryUid();

}  // namespace velk::test
