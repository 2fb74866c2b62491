#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/temp_dir.h"

ScratchDir::ScratchDir() {
  std::string templ = userTemporaryDirectory() + "/installer-test-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed for " + templ);
  path_ = templ;
}

ScratchDir::~ScratchDir() {
  // Tests may leave read-only directories behind; open them up first.
  runProgram({"chmod", "-R", "u+rwx", path_});
  removeTree(path_);
}

Child::Child(const std::vector<std::string>& argv, const EnvChanges& env,
             const std::string& cwd) {
  char outPath[] = "/tmp/installer-test-out-XXXXXX";
  char errPath[] = "/tmp/installer-test-err-XXXXXX";
  int outFd = mkstemp(outPath);
  int errFd = mkstemp(errPath);
  outPath_ = outPath;
  errPath_ = errPath;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(outFd, 1);
    dup2(errFd, 2);
    for (const auto& [name, value] : env) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
    if (!cwd.empty() && chdir(cwd.c_str()) != 0)
      _exit(126);
    std::vector<char*> args;
    for (const std::string& arg : argv)
      args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(outFd);
  close(errFd);
}

Child::~Child() {
  if (!done_)
    wait(0);
  unlink(outPath_.c_str());
  unlink(errPath_.c_str());
}

std::string Child::errSoFar() const { return readFile(errPath_); }

RunResult Child::wait(int timeoutSeconds) {
  RunResult result;
  int status = 0;
  for (int waited = 0;; waited += 10) {
    if (waitpid(pid_, &status, WNOHANG) == pid_)
      break;
    if (waited >= timeoutSeconds * 1000) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  done_ = true;
  if (WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.exitCode = 128 + WTERMSIG(status);
  result.out = readFile(outPath_);
  result.err = readFile(errPath_);
  return result;
}

RunResult runProgram(const std::vector<std::string>& argv, const EnvChanges& env,
                     const std::string& cwd, int timeoutSeconds) {
  return Child(argv, env, cwd).wait(timeoutSeconds);
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
  if (!file)
    throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

bool pathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr)
    return names;
  while (struct dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..")
      names.push_back(name);
  }
  closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

int fileMode(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0)
    return -1;
  return st.st_mode & 07777;
}

void makeZip(const std::string& archive, const std::string& dir) {
  RunResult zip = runProgram({"zip", "-q", "-X", "-r", archive, "."}, {}, dir);
  if (zip.exitCode != 0)
    throw std::runtime_error("zip failed: " + zip.err);
}

std::vector<std::string> splitNul(const std::string& data) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t nul = data.find('\0'); nul != std::string::npos;
       nul = data.find('\0', start)) {
    fields.push_back(data.substr(start, nul - start));
    start = nul + 1;
  }
  return fields;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);)
    result.push_back(line);
  return result;
}
