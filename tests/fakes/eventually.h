#pragma once

#include <functional>
#include <string>

namespace vd {

// How long a test waits for what another thread or process does. A working
// driver ends such a wait within milliseconds; the bound only stops a broken
// one from hanging the suite, so it is generous enough for sanitizer builds
// on a loaded machine. Time rules themselves run on the fake clock.
inline constexpr int kEventuallyMs = 30000;

// Polls condition until it holds, for at most timeout_ms of real time;
// whether it held. The pause between polls grows from 1 ms to 50 ms, so that
// an expensive condition (a directory of thousands of files) does not take
// the machine from what it waits for.
bool Eventually(const std::function<bool()>& condition, int timeout_ms = kEventuallyMs);

// The whole file as bytes; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace vd
