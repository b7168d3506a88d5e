#pragma once

// A pipe whose ends are closed on exec and, when asked, do not block: pipe2 where the system
// has it (Linux), pipe and fcntl elsewhere (macOS).
namespace SystemPipe {
// False with errno set when the system refused; nothing is left open then.
bool open(int fds[2], bool nonBlocking);
} // namespace SystemPipe
