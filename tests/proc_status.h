#pragma once
// What the kernel shows of a running process: its threads, its open
// descriptors, its resident memory and its processor time, read from /proc.

#include <sys/types.h>

#include <cstdint>

namespace kiv_test {

/// Threads of the process `pid`.
int thread_total(pid_t pid);
/// Open descriptors of the process `pid`.
int descriptor_total(pid_t pid);
/// Resident memory of the process `pid` in KiB (VmRSS).
long resident_kib(pid_t pid);
/// Processor time the process `pid` has used, user and system, in clock ticks.
long cpu_ticks(pid_t pid);

/// Whether some socket of this machine listens on TCP `port` (IPv4 or IPv6).
bool port_listening(uint16_t port);

}  // namespace kiv_test
