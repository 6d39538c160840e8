#include "unprivileged.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quelby::test {

std::optional<int> runUnprivileged(const std::function<int()>& body)
{
    if (::geteuid() != 0) {
        // Already unprivileged: permissions apply as they are.
        return body();
    }
    const pid_t child = ::fork();
    if (child < 0) {
        return std::nullopt;
    }
    if (child == 0) {
        const gid_t groups[] = {65534};
        if (::setgroups(1, groups) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0) {
            ::_exit(125);
        }
        ::_exit(body());
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) == 125) {
        return std::nullopt;
    }
    return WEXITSTATUS(status);
}

} // namespace quelby::test
