// Runs a tool as a person would, from a shell, and keeps what it printed
// and how it ended.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace acmsim_test {

// A directory of its own under $TMPDIR (or /tmp), removed with its files.
class ScratchDir {
public:
    ScratchDir()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp ? tmp : "/tmp") + "/acmsim-test-XXXXXX";
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~ScratchDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct Outcome {
    int status = -1;   // exit status; -1: killed by a signal
    int signal = 0;
    std::string out, err;
};

inline std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// `command` through /bin/sh, stdin empty.
inline Outcome run_program(const std::string& command)
{
    ScratchDir dir;
    const std::string out = dir.path() + "/out", err = dir.path() + "/err";
    const int raw = std::system((command + " </dev/null >" + out + " 2>" + err).c_str());
    Outcome run;
    if (WIFEXITED(raw))
        run.status = WEXITSTATUS(raw);
    else if (WIFSIGNALED(raw))
        run.signal = WTERMSIG(raw);
    run.out = slurp(out);
    run.err = slurp(err);
    return run;
}

inline Outcome run_acmsim(const std::string& args) { return run_program(std::string(ACMSIM) + " " + args); }

}  // namespace acmsim_test
