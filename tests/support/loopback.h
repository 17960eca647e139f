// Small helpers for tests: plain blocking sockets on 127.0.0.1 and a loop driver.
#pragma once

#include "platform/message_loop.h"

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace testsupport {

// Listening socket on 127.0.0.1 with a port the kernel picks. -1 on failure.
int ListenLoopback(int& port);
// The same on ::1; -1 where the machine has no IPv6 loopback.
int ListenLoopbackV6(int& port);
// Accepts one connection on `listener` (within 5 s), sends `reply`, reads a line and closes.
std::thread AnswerOnce(int listener, std::string reply);
// Blocking client connected to 127.0.0.1:port, or -1.
int ConnectLoopback(int port);
// The same over ::1; -1 where the machine has no IPv6 loopback or nobody listens there.
int ConnectLoopbackV6(int port);
// Non-blocking client whose connection completes in the background (the server may need
// the loop to run before it is accepted), or -1.
int ConnectLoopbackAsync(int port);
// Blocking accept with a timeout in ms; -1 on timeout.
int AcceptWithin(int listenFd, int timeoutMs);
// A free port on 127.0.0.1 for a server the test starts later, or for a connection nobody
// answers: outside the range the kernel picks ports from itself, and kept from every other
// test's FreePort until this process ends.
int FreePort();
void SendAll(int fd, const std::string& bytes);
// Reads until `until` returns true for what was read, the peer closes, or timeout.
std::string ReadUntil(int fd, const std::function<bool(const std::string&)>& until, int timeoutMs);
std::string ReadLine(int fd, int timeoutMs);
// Reads until the peer closes (or timeout); true when EOF or a reset was seen.
bool WaitForClose(int fd, int timeoutMs, std::string* rest = nullptr);
// Makes close() send a reset.
void SetAbortiveClose(int fd);
void CloseFd(int fd);

// Runs passes of the calling thread's loop until `done` or the timeout; returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs);
// Runs passes for about `ms` milliseconds.
void PumpFor(int ms);

} // namespace testsupport
