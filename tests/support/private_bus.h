#pragma once

// A private session bus for one test, ended with it: calls to the desktop's
// services go to stand-ins registered there, never to the user's. The daemon
// runs in a child process that ends with the test even when the test crashes.

#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quelby::test {

class PrivateBus
{
public:
    PrivateBus()
    {
        int output[2];
        if (::pipe2(output, O_CLOEXEC) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::dup2(output[1], 1);
            ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
                     "--print-address=1", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(output[1]);
        char c = 0;
        while (::read(output[0], &c, 1) == 1 && c != '\n') {
            address_ += c;
        }
        ::close(output[0]);
    }
    ~PrivateBus()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when the daemon did not start.
    const std::string& address() const { return address_; }

private:
    pid_t pid_ = -1;
    std::string address_;
};

} // namespace quelby::test
