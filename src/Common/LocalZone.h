#pragma once
// The process's local time zone. Unless TZ is set, the C library looks the zone file up
// on the disk at every conversion to or from local time (a dozen per transaction sent);
// with TZ naming that file it reads the file once and keeps it. pin() names it so, at
// start-up; reload() makes a pinned process read the file again, once the system's zone
// has changed.
//
// Setting TZ is safe here because everything runs on the main thread: the system's work,
// every time it converts, and these two calls.
namespace LocalZone {

// zoneFile: the system's zone; a test names a file of its own.
void pin(const char *zoneFile = "/etc/localtime");
void reload();

} // namespace LocalZone
