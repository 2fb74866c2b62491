#ifndef INSTALLER_PLATFORM_TIME_ZONE_H_
#define INSTALLER_PLATFORM_TIME_ZONE_H_

/// When TZ is unset, names the system's zone file in it for this process
/// alone (the zone stays the same): without it, every local time converted
/// looks at /etc/localtime again, five times for each entry of an archive
/// being unpacked. Call first thing, before any thread starts.
void pinTimeZone();

/// The environment for a program this process starts: the process's own,
/// less what pinTimeZone added.
char** environmentForCommands();

#endif  // INSTALLER_PLATFORM_TIME_ZONE_H_
