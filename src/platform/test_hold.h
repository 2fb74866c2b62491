#ifndef INSTALLER_PLATFORM_TEST_HOLD_H_
#define INSTALLER_PLATFORM_TEST_HOLD_H_

/// A point where the installer builds of the tests can be held, so that a
/// test can kill a run exactly there: `point` with `count` (entries written
/// so far, where that means something). In those builds, when
/// $INSTALLER_TEST_HOLD names the point ("payload", "checked", "before",
/// "entries:N", "unpacked", or "start" to mark "before" without holding), the process
/// writes its pid into $INSTALLER_TEST_HOLD_PID, then "<that file>.holding",
/// and waits until that file is removed, a signal is noted or it is killed.
/// The shipped build does nothing here.
void holdForTests(const char* point, int count = 0);

#endif  // INSTALLER_PLATFORM_TEST_HOLD_H_
