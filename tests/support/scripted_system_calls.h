#pragma once

#include "engine/sys.h"

#include <functional>

namespace quelby::test {

// The real system calls, except where a test scripts one. Installed for the
// lifetime of the object.
class ScriptedSystemCalls : public SystemCalls
{
public:
    ScriptedSystemCalls() { installSystemCalls(this); }
    ~ScriptedSystemCalls() override { installSystemCalls(nullptr); }
    ScriptedSystemCalls(const ScriptedSystemCalls&) = delete;
    ScriptedSystemCalls& operator=(const ScriptedSystemCalls&) = delete;

    // Each hook, when set, replaces the call; it may call the real one through SystemCalls::.
    std::function<int(int dirFd, const char* name, int flags)> onOpenAt;
    std::function<ssize_t(int fd, void* buffer, std::size_t size)> onRead;
    std::function<ssize_t(int fd, const char* name, void* value, std::size_t size)> onGetAttribute;
    std::function<int(int fd, const char* name, const void* value, std::size_t size)>
        onSetAttribute;

    int openAt(int dirFd, const char* name, int flags) override
    {
        return onOpenAt ? onOpenAt(dirFd, name, flags) : SystemCalls::openAt(dirFd, name, flags);
    }
    ssize_t read(int fd, void* buffer, std::size_t size) override
    {
        return onRead ? onRead(fd, buffer, size) : SystemCalls::read(fd, buffer, size);
    }
    ssize_t getAttribute(int fd, const char* name, void* value, std::size_t size) override
    {
        return onGetAttribute ? onGetAttribute(fd, name, value, size)
                              : SystemCalls::getAttribute(fd, name, value, size);
    }
    int setAttribute(int fd, const char* name, const void* value, std::size_t size) override
    {
        return onSetAttribute ? onSetAttribute(fd, name, value, size)
                              : SystemCalls::setAttribute(fd, name, value, size);
    }
    ssize_t realRead(int fd, void* buffer, std::size_t size)
    {
        return SystemCalls::read(fd, buffer, size);
    }
};

} // namespace quelby::test
