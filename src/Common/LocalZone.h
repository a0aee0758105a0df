#pragma once
// The process's local time zone. Unless TZ is set, the C library looks /etc/localtime up
// on the disk at every conversion to or from local time (a dozen per transaction sent);
// with TZ naming that file it reads the file once and keeps it. pin() names it so, at
// start-up before any other thread runs; reload() makes a pinned process read the file
// again, once the system's zone has changed.
namespace LocalZone {

void pin();
void reload();

} // namespace LocalZone
