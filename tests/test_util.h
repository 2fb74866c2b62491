#ifndef INSTALLER_TESTS_TEST_UTIL_H_
#define INSTALLER_TESTS_TEST_UTIL_H_

#include <map>
#include <optional>
#include <string>
#include <vector>

/// A directory under $TMPDIR or /tmp, removed with its contents at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  /// path() + "/" + name.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// Environment changes for a child: a value sets, nullopt unsets.
typedef std::map<std::string, std::optional<std::string>> EnvChanges;

struct RunResult {
  int exitCode = -1;  ///< the exit code, 128 + signal when killed, -1 on error
  std::string out;
  std::string err;
};

/// Runs argv[0] (searched on PATH) with `env` applied, in `cwd` when not
/// empty, and waits at most `timeoutSeconds` before killing it.
RunResult runProgram(const std::vector<std::string>& argv, const EnvChanges& env = {},
                     const std::string& cwd = "", int timeoutSeconds = 60);

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool pathExists(const std::string& path);
/// The names in a directory, sorted, without "." and "..".
std::vector<std::string> listDir(const std::string& dir);
/// Mode bits (07777) of `path`, -1 when it does not exist.
int fileMode(const std::string& path);

/// Zips the contents of `dir` into `archive` with the zip tool.
void makeZip(const std::string& archive, const std::string& dir);
/// Splits NUL-terminated fields.
std::vector<std::string> splitNul(const std::string& data);
/// The lines of `text`, without their newlines.
std::vector<std::string> lines(const std::string& text);

#endif  // INSTALLER_TESTS_TEST_UTIL_H_
