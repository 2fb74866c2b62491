#ifndef INSTALLER_SOURCING_CACHE_LOCK_H_
#define INSTALLER_SOURCING_CACHE_LOCK_H_

#include <string>

/// One installation at a time per cache: an exclusive flock on
/// `cacheDir` + ".lock". Once taken it is held until the process ends, so
/// that no other run replaces the agent while this run's agent is running;
/// children never inherit it.
class CacheLock {
 public:
  enum class State { Acquired, Busy, Failed };
  virtual ~CacheLock() = default;
  /// Tries once, without waiting. On Failed, `error` says why.
  virtual State tryLock(std::string* error) = 0;
};

/// The lock of the per-user cache directory `cacheDir` (ending in "/").
class RealCacheLock : public CacheLock {
 public:
  explicit RealCacheLock(std::string cacheDir) : cacheDir_(std::move(cacheDir)) {}
  State tryLock(std::string* error) override;

 private:
  std::string cacheDir_;
};

#endif  // INSTALLER_SOURCING_CACHE_LOCK_H_
