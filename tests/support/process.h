// Child processes for tests: start a program with its three standard
// streams on pipes, talk to it, and collect its output and exit status,
// every wait bounded so that a hung child fails a test instead of the run.
#ifndef OX_TEST_PROCESS_H
#define OX_TEST_PROCESS_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace oxtest {

// How a child ended.
struct ExitStatus {
  bool exited = false;     // ended by exit(); |code| holds its status
  int code = -1;           // exit status, when |exited|
  int signal = 0;          // the signal that ended it, when it did not exit
  bool timed_out = false;  // did not end in time and was killed
};

class Process {
 public:
  // Starts |argv[0]| (a path, not searched in PATH) with |argv| and the
  // current environment.  Returns nullptr and sets |*error| when the program
  // cannot be started.
  static std::unique_ptr<Process> start(const std::vector<std::string> &argv,
                                        std::string *error = nullptr);

  // A child still running is killed and reaped.
  ~Process();
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  pid_t pid() const { return pid_; }

  // Reads one line of standard output into |*line| (without its '\n').
  // False when none completes within |timeout_ms| or the output ends first;
  // a partial line then stays buffered for read_stdout().
  bool read_line(std::string *line, int timeout_ms);

  // Writes all of |data| to the child's standard input; false on error
  // (the child closed it, or stdin was closed here).
  bool write_stdin(std::string_view data);

  // Closes the child's standard input (it then reads end of file).
  void close_stdin();

  // Waits for the child to end, collecting its output meanwhile so that a
  // full pipe never blocks it.  After |timeout_ms| the child is killed with
  // SIGKILL and the result says timed_out.  Later calls return the same
  // status.
  ExitStatus wait(int timeout_ms);

  // Standard output and error not yet handed out.  Call after wait() for
  // the whole rest; before, they give what has arrived so far.
  std::string read_stdout();
  std::string read_stderr();

 private:
  Process() = default;
  // Moves what is readable now from the pipes into the buffers, waiting at
  // most |timeout_ms| for something to arrive.
  void pump(int timeout_ms);

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;  // our ends of the pipes; -1 once closed
  std::string out_buf_, err_buf_;
  bool reaped_ = false;
  ExitStatus status_;
};

// Runs |argv| to its end with |input| on standard input (then closed), and
// returns what it printed on standard output and error and how it ended.
struct RunResult {
  std::string out, err;
  ExitStatus status;
};
RunResult run(const std::vector<std::string> &argv, std::string_view input = {},
              int timeout_ms = 30000);

}  // namespace oxtest

#endif  // OX_TEST_PROCESS_H
