// Runs the built comenrol as a process on real modules built in the tree and
// checks its exit status and everything it writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/case_name.h"
#include "tests/expected_outcomes.h"

namespace fs = std::filesystem;

namespace {

using namespace expected;

struct Outcome {
  bool exited = false;
  int status = -1;  // exit status, or the signal when it did not exit
  std::string out;
  std::string err;
};

std::string ReadAll(int fd) {
  std::string text;
  char chunk[4096];
  ssize_t count;
  while ((count = read(fd, chunk, sizeof chunk)) > 0) {
    text.append(chunk, static_cast<size_t>(count));
  }
  return text;
}

// What the child's standard error is: a pipe read to the end, closed, or a
// pipe whose reader is gone.
enum class ErrorStream { Read, Closed, ReaderGone };

// Starts comenrol in the directory with the arguments and extra environment,
// and waits at most 20 s for it, killing it then, which fails the test.
Outcome RunComenrol(const fs::path& directory, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment = {},
                    ErrorStream errorStream = ErrorStream::Read) {
  int outPipe[2];
  int errPipe[2];
  EXPECT_EQ(pipe(outPipe), 0);
  EXPECT_EQ(pipe(errPipe), 0);
  const pid_t child = fork();
  if (child == 0) {
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    if (errorStream == ErrorStream::Closed) {
      close(STDERR_FILENO);
    }
    close(outPipe[0]);
    close(errPipe[0]);
    if (chdir(directory.c_str()) != 0) {
      _exit(120);
    }
    for (const std::string& variable : environment) {
      putenv(const_cast<char*>(variable.c_str()));
    }
    std::vector<char*> argv = {const_cast<char*>(COMENROL_PROGRAM)};
    for (const std::string& argument : arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    execv(COMENROL_PROGRAM, argv.data());
    _exit(121);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  const bool readError = errorStream != ErrorStream::ReaderGone;
  if (!readError) {
    close(errPipe[0]);
  }

  // Both outputs are drained on threads, so that a chatty child cannot block
  // on them and a child that hangs cannot hold this thread past the deadline.
  Outcome outcome;
  std::thread outReader([&] { outcome.out = ReadAll(outPipe[0]); });
  std::thread errReader([&] { outcome.err = readError ? ReadAll(errPipe[0]) : ""; });
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      ADD_FAILURE() << "comenrol did not end within 20 s";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  outReader.join();
  errReader.join();
  close(outPipe[0]);
  if (readError) {
    close(errPipe[0]);
  }
  outcome.exited = WIFEXITED(status);
  outcome.status = outcome.exited ? WEXITSTATUS(status) : WTERMSIG(status);
  return outcome;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), {}};
}

// The modules are copied into a fresh directory whose path holds no "-": the
// tool ends the module name at the first "-", and the build directory may
// hold one.
class ProgramTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/comenrolXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    for (const auto& entry : fs::directory_iterator(COMENROL_MODULE_DIR)) {
      if (entry.path().extension() == ".so") {
        fs::copy_file(entry.path(), directory_ / entry.path().filename());
      }
    }
    // The same module under names that hold a "-", UTF-8 and bytes that are not UTF-8.
    fs::create_directory(directory_ / "my-modules");
    for (const char* name :
         {"my-modules/returns_zero.so", "caf\xC3\xA9 module.so", "bad\xFF\xFE.so"}) {
      fs::copy_file(directory_ / "returns_zero.so", directory_ / name);
    }
    // Names that are not regular files: the tool must refuse them at once.
    ASSERT_EQ(mkfifo((directory_ / "fifo").c_str(), 0600), 0);
    fs::create_symlink(directory_ / "fifo", directory_ / "fifo_link");
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (directory_ / "socket").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    const int server = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(server, 1), 0);
    close(server);
  }
  static void TearDownTestSuite() { fs::remove_all(directory_); }

  void SetUp() override {
    trace_ = directory_ / "trace.txt";
    fs::remove(trace_);
  }

  std::string Module(const std::string& name) const { return (directory_ / name).string(); }
  std::vector<std::string> TraceEnvironment() const {
    return {"COMENROL_TEST_TRACE=" + trace_.string()};
  }
  std::string Trace() const { return ReadFile(trace_); }

  static fs::path directory_;
  fs::path trace_;
};

fs::path ProgramTest::directory_;

struct StatusCase {
  const char* what;
  std::vector<std::string> arguments;  // "@name" is the copied module
  int status;
  std::string err;
  std::string trace;
  ErrorStream errorStream = ErrorStream::Read;
};

class ProgramStatusTest : public ProgramTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ProgramStatusTest, ExitsWithTheOutcomesStatus) {
  const StatusCase& c = GetParam();
  std::vector<std::string> arguments;
  for (const std::string& argument : c.arguments) {
    arguments.push_back(argument.rfind('@', 0) == 0 ? Module(argument.substr(1)) : argument);
  }
  const Outcome outcome = RunComenrol(directory_, arguments, TraceEnvironment(), c.errorStream);
  EXPECT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.status, c.status);
  EXPECT_EQ(outcome.err, c.err);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(Trace(), c.trace);
}

const std::string registered = "DllRegisterServer\n";
const std::string unregistered = "DllUnregisterServer\n";

const StatusCase statusCases[] = {
    {"no arguments show usage", {}, 255, HostBox(Information, Usage), ""},
    {"returns zero", {"@returns_zero.so"}, 0, HostBox(Information, Registered), registered},
    {"unregisters",
     {"@returns_zero.so", "-u"},
     0,
     HostBox(Information, Unregistered),
     unregistered},
    {"slash options", {"@returns_zero.so", "/U", "/S"}, 0, "", unregistered},
    {"returns one", {"@returns_one.so"}, 0, HostBox(Information, Registered), registered},
    {"returns the largest status",
     {"@returns_largest.so", "-U"},
     0,
     HostBox(Information, Unregistered),
     unregistered},
    {"returns a failure",
     {"@returns_failure.so"},
     252,
     HostBox(Error, RegisterFailed(0x80004005u)),
     registered},
    {"unregister returns the sign bit",
     {"@returns_sign_bit.so", "-u"},
     252,
     HostBox(Error, UnregisterFailed(0x80000000u)),
     unregistered},
    {"silent failure", {"@returns_failure.so", "-s"}, 252, "", registered},
    {"only the register entry",
     {"@register_only.so", "-u"},
     253,
     HostBox(Error, EntryNotFound(38)),
     ""},
    {"only the register entry, silent", {"@register_only.so", "-u", "-s"}, 253, "", ""},
    {"not a module", {"@not_a_module.so"}, 254, HostBox(Error, LoadFailed(8)), ""},
    {"missing file", {"@missing.so"}, 254, HostBox(Error, LoadFailed(2)), ""},
    {"missing file, silent", {"@missing.so", "-s"}, 254, "", ""},
    {"a directory", {"@"}, 254, HostBox(Error, LoadFailed(21)), ""},
    {"a FIFO", {"@fifo"}, 254, HostBox(Error, LoadFailed(22)), ""},
    {"a FIFO, silent", {"@fifo", "-s"}, 254, "", ""},
    {"a symlink to a FIFO", {"@fifo_link"}, 254, HostBox(Error, LoadFailed(22)), ""},
    {"a socket", {"@socket"}, 254, HostBox(Error, LoadFailed(22)), ""},
    {"a character device", {"/dev/null"}, 254, HostBox(Error, LoadFailed(22)), ""},
    {"options first leave an empty name", {"-s", "@returns_zero.so"}, 254, "", ""},
    {"spaces only", {"   "}, 254, HostBox(Error, LoadFailed(2)), ""},
    {"a dash inside the path ends the name",
     {"@my-modules/returns_zero.so"},
     254,
     HostBox(Error, LoadFailed(2)),
     ""},
    {"relative path from the working directory", {"./returns_zero.so", "-s"}, 0, "", registered},
    {"a UTF-8 file name", {"@caf\xC3\xA9 module.so", "-s"}, 0, "", registered},
    {"a file name that is not UTF-8", {"@bad\xFF\xFE.so", "-s"}, 0, "", registered},
    {"over-long line", {std::string(600, 'a')}, 255, HostBox(Information, Usage), ""},
    {"over-long silent line", {std::string(600, 'a'), "-s"}, 255, "", ""},
    // A box written to a pipe nobody reads must not end the process by SIGPIPE.
    {"standard error's reader gone", {"/nonexistent/x.so"}, 254, "", "", ErrorStream::ReaderGone},
    // With standard error closed, the file the module opens and keeps open in
    // its entry would otherwise get descriptor 2 and the box.
    {"standard error closed", {"@keeps_trace_open.so"}, 252, "", registered, ErrorStream::Closed},
};

INSTANTIATE_TEST_SUITE_P(Modules, ProgramStatusTest, ::testing::ValuesIn(statusCases), CaseName());

TEST_F(ProgramTest, CrashInsideTheEntryEndsByItsSignalSilently) {
  // The sanitizer's own fault handler is turned off so that the fault ends the
  // process as it would in a plain build.
  const Outcome outcome = RunComenrol(
      directory_, {Module("crashes.so")},
      {"ASAN_OPTIONS=handle_segv=0:handle_sigbus=0", "COMENROL_TEST_TRACE=" + trace_.string()});
  EXPECT_FALSE(outcome.exited);
  EXPECT_EQ(outcome.status, SIGSEGV);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(Trace(), registered);
}

TEST_F(ProgramTest, FifoWithAWriterIsNeverOpened) {
  // A writer that sends bytes and closes: a tool that opened the FIFO would
  // read them, fail, and then wait in a second open that no writer meets.
  const fs::path fifo = directory_ / "fifo";
  std::thread writer([&] {
    const int end = open(fifo.c_str(), O_WRONLY);  // waits for a reader
    if (end >= 0) {
      EXPECT_EQ(write(end, "\177ELF", 4), 4);
      close(end);
    }
  });
  const Outcome outcome = RunComenrol(directory_, {fifo.string()});
  EXPECT_EQ(outcome.status, 254);
  EXPECT_EQ(outcome.err, HostBox(Error, LoadFailed(22)));
  // Meet the writer here if the tool did not, and drain what it sent.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  writer.join();
  close(reader);
}

TEST_F(ProgramTest, SampleRegistersAndUnregisters) {
  const fs::path registry = directory_ / "registry";
  fs::create_directory(registry);
  fs::copy_file(COMENROL_SAMPLE_MODULE, directory_ / "sample_server.so");
  const fs::path record = registry / "{5C3E27A1-7F4B-4D2E-9A61-0B8C42D5E3F7}.reg";
  const std::vector<std::string> environment = {"COMENROL_SAMPLE_REGISTRY=" + registry.string()};

  Outcome outcome = RunComenrol(directory_, {Module("sample_server.so")}, environment);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, HostBox(Information, Registered));
  ASSERT_TRUE(fs::exists(record));
  EXPECT_NE(ReadFile(record).find("@=" + Module("sample_server.so") + "\n"), std::string::npos);

  outcome = RunComenrol(directory_, {Module("sample_server.so"), "-u", "-s"}, environment);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_FALSE(fs::exists(record));

  // Without a registry directory the sample reports a general failure.
  outcome = RunComenrol(directory_, {Module("sample_server.so")}, {"COMENROL_SAMPLE_REGISTRY="});
  EXPECT_EQ(outcome.status, 252);
  EXPECT_EQ(outcome.err, HostBox(Error, RegisterFailed(0x80004005u)));
}

}  // namespace
