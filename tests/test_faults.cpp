// Faults through the built program: FIFOs, signals in the middle of a
// conversion, a file-size limit, names longer than any buffer, size fields and
// sample rates at the edges of 32 bits. Nothing may be lost or overwritten:
// an existing output stays as it was unless the conversion completes, and no
// temporary file is left behind.
#include <gtest/gtest.h>

#include <memory>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "program_runner.h"
#include "wav_fixtures.h"

using namespace fixtures;

namespace {

std::vector<std::int16_t> noise(std::size_t count, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::int16_t> s(count);
    for (auto& v : s) v = static_cast<std::int16_t>(static_cast<int>(rng() % 40000) - 20000);
    return s;
}

// POSIX processes, signals and FIFOs: the cases that need them are not built on
// Windows, where the program replaces its output and cleans up on console
// events instead (the cases below that rely on neither run everywhere).
#ifndef _WIN32

// Runs `script` with sh in the directory; for what needs more than one process.
run_result run_shell(const scratch_dir& dir, const std::string& script) {
    return run_command("cd " + shell_quote(dir.path("")) + " && { " + script + "; }");
}

std::string bin() { return program_command(); }

// An earlier output of the program, which a new run may replace by its
// derived name (in.8b.wav for in.wav), and must keep as it is when the new
// run does not complete.
const std::string precious = output_header(1, 22050) + std::string(32, '\x55');

// The program as a child process that the test can signal. Standard output
// goes to a pipe, standard error nowhere unless it is to block the program;
// no core file is written.
class running_program {
  public:
    // With `full` (standard output or error), that descriptor is a pipe
    // that is full from the start: the program's first write there blocks
    // until wait() reads standard output; standard error is never read.
    running_program(const scratch_dir& dir, const std::vector<std::string>& args,
                    bool ignore_hangup = false, int full = -1) {
        int out[2];
        if (pipe(out) != 0) std::abort();
        if (full == STDERR_FILENO && pipe(full_err_) != 0) std::abort();
        if (full >= 0) {
            const int fd = full == STDOUT_FILENO ? out[1] : full_err_[1];
            const int flags = fcntl(fd, F_GETFL);
            fcntl(fd, F_SETFL, flags | O_NONBLOCK);
            const std::string filler(4096, '.');
            while (write(fd, filler.data(), filler.size()) > 0) {
            }
            fcntl(fd, F_SETFL, flags);
        }
        pid_ = fork();
        if (pid_ < 0) std::abort();
        if (pid_ == 0) {
            if (chdir(dir.path("").c_str()) != 0) _exit(126);
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            dup2(full == STDERR_FILENO ? full_err_[1] : open("/dev/null", O_WRONLY), STDERR_FILENO);
            for (int fd : full_err_)
                if (fd >= 0) close(fd);
            const rlimit no_core{0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            // The dispositions the tests expect, whatever this process was
            // started with (a shell starts a background job with SIGINT and
            // SIGQUIT ignored, and the program keeps an ignored signal
            // ignored); then, as nohup leaves it, SIGHUP ignored across exec.
            for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF})
                signal(s, SIG_DFL);
            if (ignore_hangup) signal(SIGHUP, SIG_IGN);
            std::vector<std::string> words = program_command_words();
            words.insert(words.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& w : words) argv.push_back(w.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        stdout_fd_ = out[0];
    }
    ~running_program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            wait();
        }
        if (stdout_fd_ >= 0) close(stdout_fd_);
        for (int fd : full_err_)
            if (fd >= 0) close(fd);
    }
    running_program(const running_program&) = delete;
    running_program& operator=(const running_program&) = delete;

    void send(int signal_number) const { kill(pid_, signal_number); }

    // Waits for the end; returns the wait status. Standard output is read first
    // so that a long report cannot block the program on a full pipe.
    int wait() {
        while (read_some()) {
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    const std::string& out() const { return out_; }

    // Reads standard output until it holds `text`; false if it ends first.
    bool read_until(const std::string& text) {
        while (out_.find(text) == std::string::npos)
            if (!read_some()) return false;
        return true;
    }

  private:
    bool read_some() {
        char buffer[4096];
        const ssize_t n = read(stdout_fd_, buffer, sizeof buffer);
        if (n > 0) out_.append(buffer, static_cast<std::size_t>(n));
        return n > 0;
    }

    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    int full_err_[2] = {-1, -1};
    std::string out_;
};

// The temporary file of a conversion in progress, or "" if none appears in time.
std::string wait_for_temp_file(const scratch_dir& dir) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        for (const std::string& name : dir.entries())
            if (name.rfind(".pcmtaper-", 0) == 0) return name;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return "";
}

void write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        ASSERT_GT(n, 0);
        done += static_cast<std::size_t>(n);
    }
}

// A FIFO the test writes into: opened once the program has opened its end.
class fifo_writer {
  public:
    explicit fifo_writer(const std::string& path) : fd_(open(path.c_str(), O_WRONLY)) {}
    ~fifo_writer() { close(); }
    void write(const std::string& bytes) const { write_all(fd_, bytes); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool is_open() const { return fd_ >= 0; }

  private:
    int fd_;
};

// ---- input from a FIFO ----------------------------------------------------------

TEST(Faults, AnInputReadFromAFifoConvertsLikeTheSameBytesFromAFile) {
    scratch_dir dir;
    const std::string file = mono16_wav(16000, noise(32 * 12, 1));
    dir.write("stream.wav", file);
    dir.write("copy.wav", file);
    ASSERT_EQ(mkfifo(dir.path("fifo.wav").c_str(), 0600), 0);
    // A writer process fills the FIFO while the program reads it.
    const run_result r = run_shell(dir, "{ cat stream.wav > fifo.wav & } ; " + bin() + " fifo.wav");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(up_to_frames_line(r.out), "fifo.wav\r\nfifo.8b.wav\r\n" + header_lines(16000, 12));
    ASSERT_EQ(dir.run({"copy.wav"}).exit_code, 0);
    EXPECT_EQ(dir.read("fifo.8b.wav"), dir.read("copy.8b.wav"));
    EXPECT_EQ(dir.read("fifo.8b.wav").size(), 44u + 12 * 32);
}

TEST(Faults, AFifoOutputIsWrittenDirectly) {
    scratch_dir dir;
    dir.write("in.wav", mono16_wav(8000, noise(32 * 10, 2)));
    ASSERT_EQ(mkfifo(dir.path("out.wav").c_str(), 0600), 0);
    const run_result r = run_shell(dir, "{ cat out.wav > got.wav & } ; " + bin() +
                                            " in.wav out.wav; status=$?; wait; exit $status");
    EXPECT_EQ(r.exit_code, 0);
    ASSERT_EQ(dir.run({"in.wav", "file.wav"}).exit_code, 0);
    EXPECT_EQ(dir.read("got.wav"), dir.read("file.wav"));
    struct stat st;
    ASSERT_EQ(stat(dir.path("out.wav").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));  // not replaced by a file
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"file.wav", "got.wav", "in.wav", "out.wav"}));
}

TEST(Faults, APipeEndingEarlyIntoADeviceCannotCorrectTheHeader) {
    scratch_dir dir;
    dir.write("stream.wav", riff(chunk("fmt ", fmt_body(1, 1, 8000))) + "data" + u32(100 * 64) +
                                std::string(9 * 64 + 10, '\0'));
    const run_result r = dir.run({"/dev/stdin", "/dev/null"}, "cat stream.wav | ");
    EXPECT_EQ(r.exit_code, 9);
    EXPECT_EQ(up_to_frames_line(r.out), "/dev/stdin\r\n/dev/null\r\n" + header_lines(8000, 100));
    EXPECT_EQ(r.out.substr(r.out.find("The input")),
              "The input ended after 9 of 100 frames.\r\n"
              "The output header states more samples than were written.\r\n");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"stream.wav"});
}

// ---- an existing output kept intact -------------------------------------------

TEST(Faults, AWriteFailureMidConversionKeepsTheExistingOutput) {
    scratch_dir dir;
    dir.write("in.wav", mono16_wav(8000, noise(32 * 200, 3)));
    dir.write("in.8b.wav", precious);
    // A file-size limit of 2 KiB (sh counts 512-byte blocks): the output's
    // 6444 bytes cannot be written. Past the limit a write fails (EFBIG);
    // it must not kill the program with its temporary file left behind.
    const run_result r = dir.run({"in.wav", "in.8b.wav"}, "ulimit -f 4; ");
    EXPECT_EQ(r.exit_code, 10);
    EXPECT_EQ(up_to_frames_line(r.out), "in.wav\r\nin.8b.wav\r\n" + header_lines(8000, 200));
    EXPECT_EQ(r.out.substr(r.out.size() - 31), "Cannot write the output file.\r\n");
    EXPECT_EQ(dir.read("in.8b.wav"), precious);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.8b.wav", "in.wav"}));
}

// The program blocked in the middle of its block loop on a FIFO input that the
// test holds open, so that a signal surely arrives mid-conversion.
TEST(Faults, ASignalMidConversionRemovesTheTemporaryFileAndKeepsTheOutput) {
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM,
                              SIGPROF}) {
        SCOPED_TRACE(strsignal(signal_number));
        scratch_dir dir;
        ASSERT_EQ(mkfifo(dir.path("in.wav").c_str(), 0600), 0);
        dir.write("in.8b.wav", precious);
        running_program program(dir, {"in.wav", "in.8b.wav"});
        fifo_writer input(dir.path("in.wav"));
        ASSERT_TRUE(input.is_open());
        const std::vector<std::int16_t> samples = noise(32 * 20, 4);
        const std::string whole = mono16_wav(22050, samples);
        input.write(whole.substr(0, 44 + 64 * 10));  // header and 10 of 20 blocks
        ASSERT_NE(wait_for_temp_file(dir), "");
        program.send(signal_number);
        const int status = program.wait();
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), signal_number);
        EXPECT_EQ(dir.read("in.8b.wav"), precious);
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.8b.wav", "in.wav"}));
    }
}

// A batch with three files in flight, each blocked on its FIFO input in the
// middle of its block loop with its temporary file open: a signal removes
// all three, and keeps the earlier output of one of them.
TEST(Faults, ASignalRemovesTheTemporaryFileOfEveryFileInFlight) {
    for (int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal_number));
        scratch_dir dir;
        const std::vector<std::string> names = {"a.wav", "b.wav", "c.wav"};
        for (const std::string& name : names) ASSERT_EQ(mkfifo(dir.path(name).c_str(), 0600), 0);
        dir.write("b.8b.wav", precious);
        running_program program(dir, {"-b", "-j", "3", "a.wav", "b.wav", "c.wav"});
        const std::string whole = mono16_wav(22050, noise(32 * 20, 6));
        std::vector<std::unique_ptr<fifo_writer>> inputs;
        for (const std::string& name : names) {
            inputs.push_back(std::make_unique<fifo_writer>(dir.path(name)));
            ASSERT_TRUE(inputs.back()->is_open());
            inputs.back()->write(whole.substr(0, 44 + 64 * 10));  // header and 10 of 20 blocks
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::size_t in_flight = 0;
        while (in_flight < names.size() && std::chrono::steady_clock::now() < deadline) {
            in_flight = 0;
            for (const std::string& name : dir.entries()) in_flight += name.rfind(".pcmtaper-", 0) == 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(in_flight, names.size());
        program.send(signal_number);
        const int status = program.wait();
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), signal_number);
        EXPECT_EQ(dir.read("b.8b.wav"), precious);
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"a.wav", "b.8b.wav", "b.wav", "c.wav"}));
    }
}

// A batch file converted while the thread that commits and prints is held
// up: its complete output waits under its temporary name, and a signal
// removes it, as it removes one mid-conversion. Each state is reached by
// construction, whatever the schedule: a's text on standard output shows that
// the calling thread has committed a and is printing a's text, whose advice
// on the cut end then blocks on the full standard error; only then is b's
// input written, so that b is converted while no commit is under way and is
// handed over to the blocked thread; the workers, past a and b, each open
// the FIFO of the next file (c, d), which the test waits for.
TEST(Faults, ASignalRemovesTheTemporaryFileOfAConvertedFileWaitingToBeCommitted) {
    scratch_dir dir;
    const std::string whole = mono16_wav(22050, noise(32 * 20, 7));
    dir.write("a.wav", whole);
    for (const char* name : {"b.wav", "c.wav", "d.wav"}) ASSERT_EQ(mkfifo(dir.path(name).c_str(), 0600), 0);
    running_program program(dir, {"-b", "-j", "2", "a.wav", "b.wav", "c.wav", "d.wav"}, false, STDERR_FILENO);
    fifo_writer b_input(dir.path("b.wav"));
    ASSERT_TRUE(b_input.is_open());
    ASSERT_TRUE(program.read_until("a.wav\r\na.8b.wav\r\n")) << "a's text never came";
    b_input.write(whole);
    b_input.close();
    const fifo_writer c_input(dir.path("c.wav")), d_input(dir.path("d.wav"));
    ASSERT_TRUE(c_input.is_open() && d_input.is_open());
    std::vector<std::string> temps;
    for (const std::string& name : dir.entries())
        if (name.rfind(".pcmtaper-", 0) == 0) temps.push_back(name);
    ASSERT_EQ(temps.size(), 1u) << "b's output is not the one file waiting";
    EXPECT_EQ(dir.read(temps[0]), dir.read("a.8b.wav"));  // the same input: complete
    program.send(SIGTERM);
    const int status = program.wait();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"a.8b.wav", "a.wav", "b.wav", "c.wav", "d.wav"}));
}

// A regular input, converted at full speed on the default threads. It
// cannot end before the signal: its report outgrows the output buffer long
// before the last block, and the write then blocks on the full standard
// output until the test reads it, after the signal.
TEST(Faults, AnInterruptedLongConversionOfAFileKeepsTheOutput) {
    scratch_dir dir;
    dir.write("in.wav", mono16_wav(44100, noise(44100 * 30, 5)));  // 30 s: 41343 blocks
    dir.write("in.8b.wav", precious);
    running_program program(dir, {"in.wav", "in.8b.wav"}, false, STDOUT_FILENO);
    ASSERT_NE(wait_for_temp_file(dir), "");
    program.send(SIGINT);
    const int status = program.wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << "the conversion ended before the signal";
    EXPECT_EQ(WTERMSIG(status), SIGINT);
    EXPECT_EQ(dir.read("in.8b.wav"), precious);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.8b.wav", "in.wav"}));
}

TEST(Faults, AHangupIgnoredAtTheStartStaysIgnored) {
    // As under nohup: the conversion is meant to outlive the terminal.
    const sighandler_t previous = signal(SIGPIPE, SIG_IGN);  // should the program die anyway
    scratch_dir dir;
    ASSERT_EQ(mkfifo(dir.path("in.wav").c_str(), 0600), 0);
    running_program program(dir, {"in.wav", "out.wav"}, true);
    fifo_writer input(dir.path("in.wav"));
    ASSERT_TRUE(input.is_open());
    const std::string whole = mono16_wav(22050, noise(32 * 12, 6));
    input.write(whole.substr(0, 44 + 64 * 4));
    ASSERT_NE(wait_for_temp_file(dir), "");
    // An ignored signal is discarded when sent; a caught one is pending on the
    // program, which is blocked reading the FIFO, and is handled before that
    // read can return the rest written below.
    program.send(SIGHUP);
    input.write(whole.substr(44 + 64 * 4));
    input.close();
    const int status = program.wait();
    signal(SIGPIPE, previous);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    dir.write("copy.wav", whole);
    ASSERT_EQ(dir.run({"copy.wav"}).exit_code, 0);
    EXPECT_EQ(dir.read("out.wav"), dir.read("copy.8b.wav"));
}

#endif  // !_WIN32

// ---- names ------------------------------------------------------------------------

TEST(Faults, NamesLongerThan4096CharactersAreRefusedAsUnopenable) {
    scratch_dir dir;
    dir.write("in.wav", mono16_wav(8000, noise(32 * 9, 7)));
    const std::string long_stem(5000, 'n');

    // Input: the system refuses the name (exit 1); both names printed whole.
    run_result r = dir.run({long_stem + ".wav"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, long_stem + ".wav\r\n" + long_stem + ".8b.wav\r\n");

    // Output: refused before anything is converted (exit 4), for a name over
    // 4096 characters and for one whose last part is over 255.
    for (const std::string& output : {long_stem + ".wav", std::string(300, 'o') + ".wav",
                                      "sub/" + std::string(300, 'o') + ".wav"}) {
        if (output.rfind("sub/", 0) == 0) std::filesystem::create_directory(dir.path("sub"));
        r = dir.run({"in.wav", output});
        EXPECT_EQ(r.exit_code, 4) << output.size();
        EXPECT_EQ(r.out, "in.wav\r\n" + output + "\r\n" + header_lines(8000, 9));
        std::filesystem::remove(dir.path("sub"));
    }
    // An empty output name is no name either.
    r = dir.run({"in.wav", ""});
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_EQ(r.out, "in.wav\r\n\r\n" + header_lines(8000, 9));
    // Under a file rather than a directory.
    r = dir.run({"in.wav", "in.wav/out.wav"});
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"in.wav"});
}

TEST(Faults, DirectoriesAsInputOrOutputPrintOnlyWhatTheTableSays) {
    scratch_dir dir;
    dir.write("in.wav", mono16_wav(8000, noise(32 * 9, 8)));
    std::filesystem::create_directory(dir.path("d.wav"));
    run_result r = dir.run({"d.wav"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "d.wav\r\nd.8b.wav\r\n");
    r = dir.run({"in.wav", "d.wav"});
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_EQ(r.out, "in.wav\r\nd.wav\r\n" + header_lines(8000, 9));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path("d.wav")));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"d.wav", "in.wav"}));
}

// ---- size fields and sample rates at the edges of 32 bits --------------------------

TEST(Faults, HugeSizeFieldsAreReadAsUnsignedAndNeverTrusted) {
    const std::string fmt16 = chunk("fmt ", fmt_body(1, 1, 8000));
    const std::string data = chunk("data", samples_le(noise(32 * 9, 9)));
    for (std::uint32_t size : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(size);
        scratch_dir dir;
        // The RIFF size is not used: the file converts as usual.
        dir.write("riff.wav", "RIFF" + u32(size) + "WAVE" + fmt16 + data);
        run_result r = dir.run({"riff.wav"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(up_to_frames_line(r.out), "riff.wav\r\nriff.8b.wav\r\n" + header_lines(8000, 9));
        EXPECT_EQ(dir.read("riff.8b.wav").substr(0, 44), output_header(9, 8000));

        struct refused {
            std::string name, file, text;
        };
        const std::string list = "LIST" + u32(size) + "INFOISFT";
        const refused cases[] = {
            // A chunk before "fmt " or before "data" that claims more than the file holds.
            {"before-fmt.wav", riff(list + fmt16 + data), "fmt  != LIST\r\n"},
            {"before-data.wav", riff(fmt16 + list + data), "data!=LIST\r\n"},
            // A "fmt " chunk that does: its 16 bytes are checked, then its end is missing.
            {"fmt.wav", riff("fmt " + u32(size) + fmt_body(1, 1, 8000) + data), ""},
        };
        for (const refused& c : cases) {
            dir.write(c.name, c.file);
            r = dir.run({c.name, "out.wav"});
            EXPECT_EQ(r.exit_code, 5) << c.name;
            EXPECT_EQ(r.out, c.name + "\r\nout.wav\r\n" + c.text + "The file ends inside the header.\r\n");
        }
        EXPECT_FALSE(dir.exists("out.wav"));
        // The data size field: ADataSizeBeyondTheFileConvertsWhatIsThere (end to end).
    }
}

TEST(Faults, SampleRatesAtTheEdgesOf32Bits) {
    const std::string data = chunk("data", samples_le(noise(32 * 9, 10)));
    for (std::uint32_t rate : {0x80000000u, 0xFFFFFFFFu}) {
        scratch_dir dir;
        dir.write("in.wav", riff(chunk("fmt ", fmt_body(1, 1, rate)) + data));
        const run_result r = dir.run({"in.wav"});
        EXPECT_EQ(r.exit_code, 7) << rate;
        EXPECT_EQ(r.out, "in.wav\r\nin.8b.wav\r\nThis sample rate is not supported.\r\n");
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"in.wav"});
    }
    // The highest rate accepted, and the lowest.
    for (std::uint32_t rate : {0x7FFFFFFFu, 1u}) {
        scratch_dir dir;
        dir.write("in.wav", riff(chunk("fmt ", fmt_body(1, 1, rate)) + data));
        const run_result r = dir.run({"in.wav"});
        EXPECT_EQ(r.exit_code, 0) << rate;
        EXPECT_EQ(up_to_frames_line(r.out), "in.wav\r\nin.8b.wav\r\n" + header_lines(rate, 9));
        const std::string out = dir.read("in.8b.wav");
        EXPECT_EQ(out.substr(0, 44), output_header(9, rate));
        EXPECT_EQ(out.size(), 44u + 9 * 32);
    }
}

#ifndef _WIN32
// The temporary file is removed by its name in its directory, whatever that
// directory is called by the time the signal arrives.
TEST(Faults, ASignalAfterTheOutputsDirectoryMovedLeavesNoTemporaryFile) {
    scratch_dir dir;
    ASSERT_EQ(mkfifo(dir.path("in.wav").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.path("sub"));
    running_program program(dir, {"in.wav", "sub/out.wav"});
    fifo_writer input(dir.path("in.wav"));
    ASSERT_TRUE(input.is_open());
    input.write(mono16_wav(22050, noise(32 * 20, 4)).substr(0, 44 + 64 * 10));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::filesystem::is_empty(dir.path("sub")) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_FALSE(std::filesystem::is_empty(dir.path("sub")));
    std::filesystem::rename(dir.path("sub"), dir.path("moved"));
    program.send(SIGTERM);
    const int status = program.wait();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path("moved")));
}

// Closed standard descriptors are taken by nothing the program opens: the
// output is whole, and standard output that was closed is reported.
TEST(Faults, ClosedStandardDescriptorsAreNotTakenByFiles) {
    const std::string in = mono16_wav(8000, noise(32 * 300, 7));
    scratch_dir ref_dir;
    ref_dir.write("in.wav", in);
    ASSERT_EQ(ref_dir.run({"in.wav", "out.wav"}).exit_code, 0);
    const std::string expected = ref_dir.read("out.wav");
    const struct {
        std::vector<std::string> args;
        const char* redirections;
        int exit_code;
    } cases[] = {
        {{"in.wav", "out.wav"}, "<&-", 0},
        {{"in.wav", "out.wav"}, "2>&-", 0},
        {{"in.wav", "out.wav"}, ">&-", 14},
        {{"in.wav", "out.wav"}, "<&- >&- 2>&-", 14},
        {{"-q", "in.wav", "out.wav"}, "<&- >&-", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.redirections);
        scratch_dir dir;
        dir.write("in.wav", in);
        const run_result r = dir.run_with_errors(c.args, c.redirections);
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_EQ(dir.read("out.wav"), expected);
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.wav", "out.wav"}));
        if (c.exit_code == 14 && std::string(c.redirections).find("2>&-") == std::string::npos) {
            EXPECT_EQ(r.err, "pcmtaper: in.wav: the last 224 samples (28 ms) are cut by the look-ahead delay; "
                             "-a keeps them\n"
                             "pcmtaper: standard output could not be written: Bad file descriptor; "
                             "the output file is complete\n");
        }
    }
}

// Standard output is not the product: when it fails, the conversion still
// completes, and the failure is said on standard error with exit 14.
TEST(Faults, AFailingStandardOutputStillGivesTheWholeOutput) {
    // Long enough that the report outgrows the output buffer more than once.
    const std::string in = mono16_wav(8000, noise(32 * (2 * 8192 + 100), 8));
    scratch_dir ref_dir;
    ref_dir.write("in.wav", in);
    ASSERT_EQ(ref_dir.run({"-q", "in.wav", "out.wav"}).exit_code, 0);
    const std::string expected = ref_dir.read("out.wav");
    for (const char* sink : {"> /dev/full", "| true"}) {
        SCOPED_TRACE(sink);
        scratch_dir dir;
        dir.write("in.wav", in);
        const std::string script = "{ " + bin() + " in.wav out.wav; echo $? > status; } 2>err " + sink;
        run_shell(dir, script);
        EXPECT_EQ(dir.read("status"), "14\n");
        EXPECT_NE(dir.read("err").find("pcmtaper: standard output could not be written: "), std::string::npos);
        EXPECT_EQ(dir.read("out.wav"), expected);
    }
}

// A regular input truncated while it is read ends early, as a stream does:
// the output is cut at the last whole block read, its header says so, and a
// remark says how far the input went. Nothing is made up for the rest. The
// truncation surely comes mid-read: the program is held by its first write
// on the full standard output, long before its last block.
TEST(Faults, AnInputThatShrinksWhileReadEndsTheOutputEarly) {
    scratch_dir dir;
    const std::size_t blocks = 44100 * 120 / 32;
    dir.write("in.wav", mono16_wav(44100, noise(32 * blocks, 9)));
    running_program program(dir, {"in.wav", "out.wav"}, false, STDOUT_FILENO);
    ASSERT_NE(wait_for_temp_file(dir), "");
    ASSERT_EQ(truncate(dir.path("in.wav").c_str(), 44 + 64 * 100), 0);
    const int status = program.wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string& out = program.out();
    const std::string remark_start = "The input ended after ";
    const std::size_t at = out.find(remark_start);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(out.substr(out.find(" of ", at)), " of " + std::to_string(blocks) + " frames.\r\n");
    const std::size_t blocks_read = std::stoul(out.substr(at + remark_start.size()));
    EXPECT_LT(blocks_read, blocks);
    EXPECT_GE(blocks_read, 100u);
    const std::string written = dir.read("out.wav");
    EXPECT_EQ(written.size(), 44 + 32 * blocks_read);
    EXPECT_EQ(written.substr(0, 44), output_header(static_cast<std::uint32_t>(blocks_read), 44100));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.wav", "out.wav"}));
}

// What stands at the output's name is checked again at the final rename: a
// file that appeared during the run, or another file put in place of the one
// checked, is kept (exit 13) and the temporary file removed. The program is
// held mid-conversion on a FIFO input while the test changes the name.
TEST(Faults, TheFinalRenameReplacesOnlyTheFileThatWasChecked) {
    const std::string whole = mono16_wav(8000, noise(32 * 20, 13));
    const struct {
        const char* what;
        bool exists_at_start;  // precious under the derived name
        bool put_in_place;     // the original put at the name mid-run
        int exit_code;
        const char* err;
    } cases[] = {
        {"nothing there, nothing appears", false, false, 0, ""},
        {"a file appears", false, true, 13, "pcmtaper: the output file in.8b.wav appeared during the conversion; it is kept\n"},
        {"an earlier output, left alone", true, false, 0, ""},
        {"an earlier output, replaced by another file", true, true, 13,
         "pcmtaper: the output file in.8b.wav changed during the conversion; it is kept\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        ASSERT_EQ(mkfifo(dir.path("in.wav").c_str(), 0600), 0);
        if (c.exists_at_start) dir.write("in.8b.wav", precious);
        dir.write("first", whole.substr(0, 44 + 64 * 10));
        dir.write("rest", whole.substr(44 + 64 * 10));
        const run_result r = run_shell(
            dir, "exec 3<>in.wav; " + bin() + " -q in.wav 2>err & cat first >&3; "
                 "while ! ls -a | grep -q '^.pcmtaper-'; do sleep 0.01; done; " +
                 std::string(c.put_in_place ? "rm -f in.8b.wav; printf original > in.8b.wav; " : "") +
                 "cat rest >&3; exec 3>&-; wait $!; echo $?");
        EXPECT_EQ(r.out, std::to_string(c.exit_code) + "\n");
        EXPECT_EQ(dir.read("err"), c.err);
        if (c.put_in_place) {
            EXPECT_EQ(dir.read("in.8b.wav"), "original");
        } else {
            EXPECT_EQ(dir.read("in.8b.wav").size(), 44 + 32 * 20u);
        }
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"err", "first", "in.8b.wav", "in.wav", "rest"}));
    }
}

#endif  // !_WIN32

TEST(Faults, Rf64InputsAndSizesThatMayHaveWrapped) {
    const std::vector<std::int16_t> samples = noise(32 * 101, 10);
    scratch_dir dir;
    dir.write("canonical.wav", mono16_wav(16000, samples));
    ASSERT_EQ(dir.run({"canonical.wav", "canonical.8b.wav"}).exit_code, 0);
    const std::string expected = dir.read("canonical.8b.wav");

    // RF64 with its real size in ds64 and a chunk after the data.
    const std::string data = samples_le(samples);
    const std::string ds64 = chunk("ds64", u32(0) + u32(0) + u32(static_cast<std::uint32_t>(data.size())) +
                                               u32(0) + u32(32 * 101) + u32(0) + u32(0));
    dir.write("rf64.wav", riff(ds64 + chunk("fmt ", fmt_body(1, 1, 16000)) + "data" + u32(0xFFFFFFFF) + data +
                                   chunk("LIST", "INFOISFTsome"), "RF64"));
    run_result r = dir.run({"rf64.wav", "rf64.8b.wav"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "rf64.wav\r\nrf64.8b.wav\r\n" + header_lines(16000, 101) + r.out.substr(r.out.find("feedback")));
    EXPECT_EQ(dir.read("rf64.8b.wav"), expected);

    // A RIFF file holding 4 GiB more than its size field says (sparse here):
    // the declared size is converted, with a remark.
    dir.write("wrapped.wav", mono16_wav(16000, samples));
    std::filesystem::resize_file(dir.path("wrapped.wav"), 44 + data.size() + (std::uint64_t(1) << 32));
    r = dir.run({"wrapped.wav", "wrapped.8b.wav"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("The data chunk claims 6464 bytes; the file holds 4294973760 after the header. "
                         "The size may have wrapped past 4 GiB.\r\n"),
              std::string::npos);
    EXPECT_EQ(dir.read("wrapped.8b.wav"), expected);
}

#ifndef _WIN32
// Who may replace what. Run as root (as CI is), the unprivileged cases run
// as nobody through setpriv.
TEST(Faults, AnExistingOutputKeepsItsOwnerAndIsReplacedOnlyByWhoMayWriteIt) {
    if (geteuid() != 0 || std::system("command -v setpriv >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and setpriv";
    constexpr uid_t nobody = 65534;
    const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    const std::string earlier_output = output_header(1, 22050) + std::string(32, 'x');
    const std::string denied = "pcmtaper: cannot write the output file in.8b.wav: Permission denied\n";
    const struct {
        const char* what;
        bool run_as_nobody;
        uid_t owner;
        gid_t group;
        mode_t mode;
        mode_t dir_mode;
        int exit_code;
        uid_t owner_after;
        gid_t group_after;
        mode_t mode_after;
        std::string err;
    } cases[] = {
        {"a read-only file of one's own", true, nobody, nobody, 0444, 0777, 4, nobody, nobody, 0444, denied},
        {"another's file in a writable directory", true, 0, 0, 0644, 0777, 4, 0, 0, 0644, denied},
        {"root replacing another's set-id file", false, nobody, nobody, 06755, 0777, 0, nobody, nobody, 06755, ""},
        {"a group-writable set-user-id file of another", true, 0, nobody, 04664, 0777, 0, nobody, nobody, 0664, ""},
        {"a set-user-id file of one's own", true, nobody, nobody, 04751, 0777, 0, nobody, nobody, 04751, ""},
        {"another's writable file in a sticky directory", true, 0, 0, 0666, 01777, 4, 0, 0, 0666,
         "pcmtaper: cannot write the output file in.8b.wav: Operation not permitted (the directory . is sticky "
         "and the file belongs to another user)\n"},
        {"a writable file in a directory one may not write", true, nobody, nobody, 0644, 0755, 4, nobody, nobody, 0644,
         "pcmtaper: cannot write the output file in.8b.wav: cannot create a file in the directory .: "
         "Permission denied\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        dir.write("in.wav", mono16_wav(8000, noise(32 * 10, 11)));
        dir.write("in.8b.wav", earlier_output);
        ASSERT_EQ(chown(dir.path("in.8b.wav").c_str(), c.owner, c.group), 0);
        ASSERT_EQ(chmod(dir.path("in.8b.wav").c_str(), c.mode), 0);
        ASSERT_EQ(chmod(dir.path("").c_str(), c.dir_mode), 0);
        const run_result r = dir.run_with_errors({"-q", "in.wav"}, "", c.run_as_nobody ? as_nobody : "");
        ASSERT_EQ(chmod(dir.path("").c_str(), 0755), 0);
        EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
        EXPECT_EQ(r.err, c.err);
        struct stat st;
        ASSERT_EQ(stat(dir.path("in.8b.wav").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, c.owner_after);
        EXPECT_EQ(st.st_gid, c.group_after);
        EXPECT_EQ(st.st_mode & 07777, c.mode_after);
        EXPECT_EQ(dir.read("in.8b.wav") == earlier_output, c.exit_code != 0);
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.8b.wav", "in.wav"}));
    }
}

// The program under an address-space limit of `limit_kb`: its exit status
// (128 + the signal for a signal) and its standard error.
struct limited_run {
    int status;
    std::string err;
};
limited_run run_with_address_space(const scratch_dir& dir, const scratch_dir& logs, int limit_kb,
                                   const std::string& arguments) {
    const run_result r = run_shell(dir, "( ulimit -v " + std::to_string(limit_kb) + " && exec " + bin() + " " +
                                            arguments + " ) 2>" + shell_quote(logs.path("err")) + "; echo $?");
    return {std::stoi(r.out), logs.read("err")};
}

// Out of memory is a message and an exit code, never an abort, and leaves
// nothing behind. The limit where the program just starts (it prints its
// banner; --version, which lists the decoder's formats, takes more memory)
// leaves it no room for the conversion's working memory: there it
// must stop with exit 15. Around it, every limit gives a complete output, that
// failure, or the loader's (127: no room to map the program, before it runs).
// These failures come at the heap's first growth, before the output is opened:
// the clean-up of a started output is not reached this way.
// (Address space limits do not apply under the sanitizers, which reserve
// terabytes, nor under an emulator, which the limit would bind instead.)
TEST(Faults, LittleAddressSpaceGivesAnExitCodeNotAnAbort) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than any limit tried";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
    GTEST_SKIP() << "the sanitizers reserve more address space than any limit tried";
#endif
#endif
#ifdef PCMTAPER_EMULATOR
    GTEST_SKIP() << "the limit would apply to the emulator, not to the program";
#endif
    scratch_dir dir;
    scratch_dir logs;
    dir.write("in.wav", mono16_wav(8000, noise(32 * 40, 12)));
    const std::vector<std::string> input_only{"in.wav"};

    // The least limit (to a page) at which the program starts, by bisection:
    // none at `low`, room enough at `high`.
    const auto starts = [&](int limit_kb) {
        return run_with_address_space(dir, logs, limit_kb, ">/dev/null").status == 0;
    };
    int low = 1024, high = 256 * 1024;
    ASSERT_TRUE(starts(high)) << "the program does not start in " << high << " KiB";
    ASSERT_FALSE(starts(low)) << "the program starts in " << low << " KiB";
    while (high - low > 4) {
        const int middle = low + (high - low) / 2;
        (starts(middle) ? high : low) = middle;
    }
    const int start_kb = high;
    {
        SCOPED_TRACE("the least limit where the program starts: " + std::to_string(start_kb) + " KiB");
        const limited_run r = run_with_address_space(dir, logs, start_kb, "-q in.wav out.wav");
        EXPECT_EQ(r.status, 15);
        EXPECT_EQ(r.err, "pcmtaper: out of memory\n");
        EXPECT_EQ(dir.entries(), input_only);
        std::filesystem::remove(dir.path("out.wav"));
    }

    // From where the loader fails up to where the conversion has room.
    int status = -1;
    for (int limit_kb = start_kb - 256; limit_kb <= start_kb + 2048; limit_kb += 64) {
        SCOPED_TRACE(std::to_string(limit_kb) + " KiB");
        const limited_run r = run_with_address_space(dir, logs, limit_kb, "-q in.wav out.wav");
        status = r.status;
        EXPECT_TRUE(status == 0 || status == 15 || status == 127) << status << ": " << r.err;
        if (status == 15) {
            EXPECT_EQ(r.err, "pcmtaper: out of memory\n");
        }
        if (status == 0) {
            EXPECT_TRUE(dir.exists("out.wav"));
        } else {
            EXPECT_EQ(dir.entries(), input_only);
        }
        std::filesystem::remove(dir.path("out.wav"));
    }
    EXPECT_EQ(status, 0) << "no room for the conversion " << 2048 << " KiB above the least start";
}

#endif  // !_WIN32

}  // namespace
