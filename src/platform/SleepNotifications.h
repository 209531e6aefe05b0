// Names of the notifications our platform layer posts on the default
// notification centre (kx::NotificationCenter::defaultCenter()) when the
// machine is about to sleep and when it has woken. They stand in for the
// desktop workspace's will-sleep and did-wake notifications. The system's
// power events (logind's PrepareForSleep) are bridged to them by the shell;
// tests post them directly.
#ifndef ZN_PLATFORM_SLEEPNOTIFICATIONS_H_
#define ZN_PLATFORM_SLEEPNOTIFICATIONS_H_

namespace kx {

inline constexpr const char* kWorkspaceWillSleepNotification = "kx.workspace.will-sleep";
inline constexpr const char* kWorkspaceDidWakeNotification = "kx.workspace.did-wake";

}  // namespace kx

#endif  // ZN_PLATFORM_SLEEPNOTIFICATIONS_H_
