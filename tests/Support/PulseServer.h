#pragma once

// A private sound server for tests, and the command-line clients (pactl, paplay, parec) and
// programs that talk to it. Each server lives in a fresh temporary folder that holds its socket,
// its runtime files, its log and whatever the clients write; nothing reaches a user's own server.
//
// Which server: QUORVANTA_SOUND_SERVER=pipewire starts PipeWire (with its own session D-Bus,
// wireplumber and pipewire-pulse serving the PulseAudio protocol); anything else, or nothing,
// starts PulseAudio. CTest runs every sound-server test once for each (labels Pulse and
// PipeWire).

#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Audio/Platform/Virtual/WavFile.h"
#include "tests/Support/SignalAnalysis.h"

extern char** environ;

namespace qv::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Environment changes for a child process: a value sets the variable, nothing removes it.
using Environment = std::map<std::string, std::optional<std::string>>;

inline std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Calls `done` every 50 ms until it returns true or `timeout` has passed; returns its last answer.
template <typename Done>
bool pollUntil(std::chrono::milliseconds timeout, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// Runs a main queue in virtual time alongside real time, its clock moving 50 ms a round,
// until `done` or `timeout`.
template <typename Queue, typename Done>
bool pumpUntil(Queue& queue, std::chrono::milliseconds timeout, Done done) {
    return pollUntil(timeout, [&] {
        queue.advance(0.05);
        return done();
    });
}

// Waits until the file at `path` contains `text`.
inline bool waitForText(const fs::path& path, const std::string& text,
                        std::chrono::milliseconds timeout) {
    return pollUntil(timeout, [&] { return readText(path).find(text) != std::string::npos; });
}

// A child process started with fork and exec, never through a shell. It dies with the test
// process, and the destructor kills and reaps it if it still runs.
class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept
        : pid_(std::exchange(other.pid_, -1)), status_(other.status_) {}
    ChildProcess& operator=(ChildProcess&& other) noexcept {
        if (this != &other) {
            stop(SIGKILL);
            pid_ = std::exchange(other.pid_, -1);
            status_ = other.status_;
        }
        return *this;
    }
    ~ChildProcess() { stop(SIGKILL); }

    // Starts `argv` (the program is looked up on PATH unless it holds a slash) with the test's
    // environment changed by `environment`; stdin is /dev/null, stdout and stderr go to the
    // given files (appended to). Throws when the program cannot be found.
    static ChildProcess start(const std::vector<std::string>& argv, const Environment& environment,
                              const fs::path& outFile, const fs::path& errFile) {
        const std::string program = findProgram(argv.at(0));
        std::vector<std::string> envStrings;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (!environment.contains(entry.substr(0, entry.find('=')))) {
                envStrings.push_back(entry);
            }
        }
        for (const auto& [name, value] : environment) {
            if (value) {
                envStrings.push_back(name + "=" + *value);
            }
        }
        std::vector<char*> args, envs;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        for (auto& e : envStrings) {
            envs.push_back(e.data());
        }
        envs.push_back(nullptr);
        const std::string out = outFile.string(), err = errFile.string();
        const pid_t parent = ::getpid();

        const pid_t pid = ::fork();
        if (pid < 0) {
            throw std::runtime_error("fork failed: " + std::string(std::strerror(errno)));
        }
        if (pid == 0) {
            // Only async-signal-safe calls from here on.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) {
                ::_exit(127);
            }
            const int in = ::open("/dev/null", O_RDONLY);
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (in < 0 || o < 0 || e < 0 || ::dup2(in, 0) < 0 || ::dup2(o, 1) < 0 ||
                ::dup2(e, 2) < 0) {
                ::_exit(127);
            }
            ::execve(program.c_str(), args.data(), envs.data());
            ::_exit(127);
        }
        ChildProcess child;
        child.pid_ = pid;
        return child;
    }

    pid_t pid() const { return pid_; }

    // True while the process has not exited.
    bool running() {
        if (pid_ <= 0 || status_) {
            return false;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = status;
            return false;
        }
        return true;
    }

    // Waits up to `timeout` for the process to exit; its exit code (128 + the signal when a
    // signal ended it), or nothing while it still runs.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        if (pid_ <= 0) {
            return std::nullopt;
        }
        pollUntil(timeout, [&] { return !running(); });
        return exitCode();
    }

    // Sends `signal` and waits up to `timeout` for the exit; kills the process after that.
    // Returns the exit code as `wait` does.
    std::optional<int> stop(int signal = SIGTERM, std::chrono::milliseconds timeout = 10s) {
        if (!running()) {
            return exitCode();
        }
        ::kill(pid_, signal);
        if (auto code = wait(timeout)) {
            return code;
        }
        ::kill(pid_, SIGKILL);
        int status = 0;
        if (::waitpid(pid_, &status, 0) == pid_) {
            status_ = status;
        }
        return exitCode();
    }

    std::optional<int> exitCode() const {
        if (!status_) {
            return std::nullopt;
        }
        if (WIFEXITED(*status_)) {
            return WEXITSTATUS(*status_);
        }
        return 128 + WTERMSIG(*status_);
    }

  private:
    static std::string findProgram(const std::string& name) {
        if (name.find('/') != std::string::npos) {
            return name;
        }
        const char* path = std::getenv("PATH");
        std::string dirs = path ? path : "/usr/bin:/bin";
        std::size_t start = 0;
        while (start <= dirs.size()) {
            const std::size_t end = std::min(dirs.find(':', start), dirs.size());
            const fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
            if (::access(candidate.c_str(), X_OK) == 0) {
                return candidate.string();
            }
            start = end + 1;
        }
        throw std::runtime_error(name + " not found on PATH (run scripts/install-deps)");
    }

    pid_t pid_ = -1;
    std::optional<int> status_;
};

struct ProcessResult {
    int exitCode = -1;  // -1 when it did not finish in time
    std::string out;
    std::string err;
};

// A null sink of the test server: its monitor source is "<name>.monitor".
struct NullSink {
    std::string name;
    std::string description;
    int rate = 48000;

    std::string moduleArguments() const {
        std::string args =
            "sink_name=" + name + " sink_properties='device.description=\"" + description + "\"'";
        if (rate > 0) {
            args += " rate=" + std::to_string(rate);
        }
        return args;
    }
};

// A parec recording of one source as raw 32-bit float stereo at 48 kHz, readable while it runs.
class Recorder {
  public:
    static constexpr int kChannels = 2;
    static constexpr double kRate = 48000;

    Recorder(ChildProcess process, fs::path file)
        : process_(std::move(process)), file_(std::move(file)) {}

    std::size_t frames() const {
        std::error_code ec;
        const auto bytes = fs::file_size(file_, ec);
        return ec ? 0 : static_cast<std::size_t>(bytes) / (kChannels * sizeof(float));
    }

    // The whole frames recorded so far, one plane per channel.
    std::vector<std::vector<float>> samples() const {
        const std::string bytes = readText(file_);
        const std::size_t count = bytes.size() / (kChannels * sizeof(float));
        std::vector<std::vector<float>> planes(kChannels, std::vector<float>(count));
        for (std::size_t i = 0; i < count; ++i) {
            for (int c = 0; c < kChannels; ++c) {
                std::memcpy(&planes[c][i], bytes.data() + (i * kChannels + c) * sizeof(float),
                            sizeof(float));
            }
        }
        return planes;
    }

    bool running() { return process_.running(); }
    void stop() { process_.stop(SIGINT); }

  private:
    ChildProcess process_;
    fs::path file_;
};

// A stretch of steady tone found in a recording, one plane per channel.
struct ToneSection {
    std::vector<std::vector<float>> channels;
    double seconds = 0;  // where it starts in the recording
};

// Waits until `frequency` has sounded without a break on every channel for `settle` and then
// for `length` more, and returns that last part. A tone counts as present in a 10 ms block when
// its amplitude there is above -40 dBFS. Nothing when that does not happen within `timeout`.
inline std::optional<ToneSection> awaitSteadyTone(const Recorder& recorder, double frequency,
                                                  std::chrono::milliseconds timeout,
                                                  double length = 1.5, double settle = 0.5) {
    constexpr std::size_t kBlock = 480;
    const double threshold = std::pow(10.0, -40.0 / 20.0);
    const auto needSettle = static_cast<std::size_t>(settle * Recorder::kRate);
    const auto needLength = static_cast<std::size_t>(length * Recorder::kRate);
    std::size_t checked = 0;  // blocks before this frame have been looked at
    std::size_t onset = 0;    // the start of the block after the last one without the tone
    std::optional<ToneSection> found;
    pollUntil(timeout, [&] {
        const auto planes = recorder.samples();
        const std::size_t count = planes[0].size();
        for (; checked + kBlock <= count; checked += kBlock) {
            for (const auto& plane : planes) {
                if (toneAmplitude(plane, frequency, Recorder::kRate, checked, checked + kBlock) <
                    threshold) {
                    onset = checked + kBlock;
                }
            }
        }
        const std::size_t start = onset + needSettle;
        if (checked < start + needLength) {
            return false;
        }
        ToneSection section;
        section.seconds = static_cast<double>(start) / Recorder::kRate;
        for (const auto& plane : planes) {
            const auto first = plane.begin() + static_cast<std::ptrdiff_t>(start);
            section.channels.emplace_back(first, first + static_cast<std::ptrdiff_t>(needLength));
        }
        found = std::move(section);
        return true;
    });
    return found;
}

// A private PulseAudio server with null sinks, started in a fresh temporary folder. Throws when
// it cannot be started; the message carries the server's log.
// Held by a long test whose audio must not starve: another such test, in any process of the
// run, waits until it is released (an advisory lock on a file in the temporary folder).
class ExclusiveRun {
  public:
    ExclusiveRun() {
        const fs::path path = fs::temp_directory_path() / "quorvanta-exclusive-run.lock";
        fd_ = ::open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~ExclusiveRun() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    ExclusiveRun(const ExclusiveRun&) = delete;
    ExclusiveRun& operator=(const ExclusiveRun&) = delete;

  private:
    int fd_ = -1;
};

enum class SoundServerKind { pulseAudio, pipeWire };

inline SoundServerKind soundServerUnderTest() {
    const char* name = std::getenv("QUORVANTA_SOUND_SERVER");
    return name && std::string(name) == "pipewire" ? SoundServerKind::pipeWire
                                                   : SoundServerKind::pulseAudio;
}

inline bool onPipeWire() {
    return soundServerUnderTest() == SoundServerKind::pipeWire;
}

class PulseServer {
  public:
    explicit PulseServer(std::vector<NullSink> sinks) : sinks_(std::move(sinks)) {
        std::string pattern = (fs::temp_directory_path() / "quorvanta-pulse-XXXXXX").string();
        removeFoldersOfEndedTests();
        if (!::mkdtemp(pattern.data())) {
            throw std::runtime_error("cannot create a folder for the sound server");
        }
        folder_ = pattern;
        std::ofstream(folder_ / "owner") << ::getpid();
        // A unix socket path holds at most 107 bytes.
        if ((folder_ / "native").string().size() > 100) {
            fs::remove_all(folder_);
            throw std::runtime_error("temporary folder path too long for a socket: " +
                                     folder_.string());
        }
        fs::create_directories(folder_ / "config");
        fs::create_directories(folder_ / "state");
        if (onPipeWire()) {
            // pipewire-pulse listens where PulseAudio would, on the socket in our folder.
            fs::create_directories(folder_ / "config/pipewire/pipewire-pulse.conf.d");
            std::ofstream(folder_ / "config/pipewire/pipewire-pulse.conf.d/socket.conf")
                << "pulse.properties = {\n    server.address = [ \"unix:" << socketPath().string()
                << "\" ]\n}\n";
        }
        try {
            startDaemon();
        } catch (...) {
            stopAll(SIGKILL);
            fs::remove_all(folder_);
            throw;
        }
    }
    explicit PulseServer(std::initializer_list<NullSink> sinks)
        : PulseServer(std::vector<NullSink>(sinks)) {}
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    ~PulseServer() {
        thaw();
        stopAll(SIGTERM);
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

    const fs::path& folder() const { return folder_; }
    fs::path socketPath() const { return folder_ / "native"; }
    std::string address() const { return "unix:" + socketPath().string(); }
    std::string log() const {
        if (!onPipeWire()) {
            return readText(folder_ / "server.log");
        }
        std::string all;
        for (const char* name : {"pipewire", "wireplumber", "pipewire-pulse"}) {
            all += std::string("--- ") + name + " ---\n" +
                   readText(folder_ / (std::string(name) + ".log"));
        }
        return all;
    }

    // The environment of every client: this server, and runtime, home and settings folders
    // inside this server's folder. Whatever a user's session sets for its own sound server or
    // desktop is removed.
    Environment environment() const {
        Environment env = isolatedEnvironment();
        env["PULSE_SERVER"] = address();
        return env;
    }

    // Starts a program with this server's environment plus `extra`; its stdout and stderr go
    // to `<folder>/<logName>.out` and `.err`.
    ChildProcess start(const std::vector<std::string>& argv, const std::string& logName,
                       const Environment& extra = {}) const {
        Environment env = environment();
        for (const auto& [name, value] : extra) {
            env[name] = value;
        }
        return ChildProcess::start(argv, env, folder_ / (logName + ".out"),
                                   folder_ / (logName + ".err"));
    }

    // Runs a program to completion (killed after `timeout`) and returns what it printed.
    ProcessResult run(const std::vector<std::string>& argv, const Environment& extra = {},
                      std::chrono::milliseconds timeout = 30s) const {
        const std::string logName = "run-" + std::to_string(++runCount_);
        auto child = start(argv, logName, extra);
        ProcessResult result;
        if (auto code = child.wait(timeout)) {
            result.exitCode = *code;
        } else {
            child.stop(SIGKILL);
        }
        result.out = readText(folder_ / (logName + ".out"));
        result.err = readText(folder_ / (logName + ".err"));
        fs::remove(folder_ / (logName + ".out"));
        fs::remove(folder_ / (logName + ".err"));
        return result;
    }

    ProcessResult pactl(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{"pactl"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, {}, 10s);
    }

    // Loads another null sink; its module index, or nothing when the server refuses.
    std::optional<int> loadNullSink(const NullSink& sink) const {
        auto result = pactl({"load-module", "module-null-sink", sink.moduleArguments()});
        if (result.exitCode != 0) {
            return std::nullopt;
        }
        return std::stoi(result.out);
    }

    bool unloadModule(int index) const {
        return pactl({"unload-module", std::to_string(index)}).exitCode == 0;
    }

    // The module index of the null sink named `name`, or nothing.
    std::optional<int> moduleOfSink(const std::string& name) const {
        auto result = pactl({"list", "short", "modules"});
        std::size_t lineStart = 0;
        while (lineStart < result.out.size()) {
            const std::size_t end = result.out.find('\n', lineStart);
            const std::string line = result.out.substr(lineStart, end - lineStart);
            if (line.find("module-null-sink") != std::string::npos &&
                line.find("sink_name=" + name + " ") != std::string::npos) {
                return std::stoi(line);
            }
            if (end == std::string::npos) {
                break;
            }
            lineStart = end + 1;
        }
        return std::nullopt;
    }

    // Kills the server outright, as a crash would, and reaps it (on PipeWire: the whole of it,
    // session manager included).
    void kill() {
        daemon_.stop(SIGKILL);
        session_.stop(SIGKILL);
        pipewire_.stop(SIGKILL);
        isFrozen_ = false;
    }

    // PipeWire only: its session manager, which links streams to devices, stops or starts.
    void stopSessionManager() { session_.stop(SIGKILL); }
    void startSessionManager() {
        const fs::path log = folder_ / "wireplumber.log";
        session_ = ChildProcess::start({"wireplumber"}, isolatedEnvironment(), log, log);
    }

    // Stops the server as a hung one would: its clients stay connected, but nothing they ask
    // is answered (and no new connection gets ready) until thaw(). Clients of this helper,
    // such as pactl, hang meanwhile.
    void freeze() {
        if (!isFrozen_ && daemon_.running()) {
            ::kill(daemon_.pid(), SIGSTOP);
            isFrozen_ = true;
        }
    }
    void thaw() {
        if (isFrozen_) {
            ::kill(daemon_.pid(), SIGCONT);
            isFrozen_ = false;
        }
    }

    // Starts the server again on the same socket with the same sinks, killing it first if it
    // still runs. Sinks loaded later are not restored.
    void restart() {
        kill();
        startDaemon();
    }

    // A WAV file (32-bit float, 48 kHz stereo) with a sine at `frequency` and `levelDb` dBFS
    // peak on both channels; written once per server and kept in its folder.
    fs::path toneFile(double frequency = 1000, double levelDb = -6, double seconds = 60) const {
        const fs::path path =
            folder_ / ("tone-" + std::to_string(static_cast<int>(frequency)) + "Hz-" +
                       std::to_string(static_cast<int>(-levelDb)) + "dB.wav");
        if (fs::exists(path)) {
            return path;
        }
        const double rate = 48000;
        const double amplitude = std::pow(10.0, levelDb / 20.0);
        std::vector<float> plane(static_cast<std::size_t>(seconds * rate));
        for (std::size_t i = 0; i < plane.size(); ++i) {
            plane[i] = static_cast<float>(
                amplitude * std::sin(2 * M_PI * frequency * static_cast<double>(i) / rate));
        }
        std::string error;
        if (!writeWavFloat32(path.string(), rate, {plane, plane}, &error)) {
            throw std::runtime_error(error);
        }
        return path;
    }

    // Starts paplay playing `wav` into `sink`; `extraArgs` go before the file name (for
    // example "--property=application.id=org.example.Player").
    ChildProcess play(const fs::path& wav, const std::string& sink,
                      const std::vector<std::string>& extraArgs = {}) const {
        std::vector<std::string> argv{"paplay", "--device=" + sink};
        argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
        argv.push_back(wav.string());
        return start(argv, "paplay-" + std::to_string(++runCount_));
    }

    // Starts parec recording `source` (e.g. "busA.monitor"); a short latency makes the audio
    // reach the file in small pieces rather than seconds at a time.
    // On PipeWire, parec silently records another source when the one named is missing: a
    // missing source throws here instead.
    Recorder record(const std::string& source) const {
        if (onPipeWire() && !hasSource(source)) {
            throw std::runtime_error("no source " + source + " to record");
        }
        const fs::path file =
            folder_ / ("rec-" + source + "-" + std::to_string(++runCount_) + ".raw");
        auto child = start({"parec", "--device=" + source, "--raw", "--format=float32le",
                            "--rate=48000", "--channels=2", "--latency-msec=20", file.string()},
                           file.stem().string());
        return Recorder(std::move(child), file);
    }

    bool hasSource(const std::string& name) const {
        const auto listing = pactl({"list", "short", "sources"}).out;
        return listing.find("\t" + name + "\t") != std::string::npos;
    }

  private:
    // A test process that was killed leaves its folder behind (its server and clients die with
    // it); such folders are removed when the next server starts.
    static void removeFoldersOfEndedTests() {
        std::error_code ec;
        try {
            for (const auto& entry : fs::directory_iterator(fs::temp_directory_path())) {
                if (!entry.path().filename().string().starts_with("quorvanta-pulse-")) {
                    continue;
                }
                std::ifstream owner(entry.path() / "owner");
                pid_t pid = 0;
                if (owner >> pid && pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) {
                    fs::remove_all(entry.path(), ec);
                }
            }
        } catch (const fs::filesystem_error&) {
            // Another test changed the folder meanwhile; what is left goes next time.
        }
    }

    Environment isolatedEnvironment() const {
        Environment env;
        for (const char* name :
             {"PULSE_SERVER", "PULSE_SINK", "PULSE_SOURCE", "PULSE_PROP", "PULSE_PROP_OVERRIDE",
              "PULSE_CLIENTCONFIG", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH", "PULSE_COOKIE",
              "PULSE_LATENCY_MSEC", "DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY"}) {
            env[name] = std::nullopt;
        }
        env["XDG_RUNTIME_DIR"] = folder_.string();
        env["HOME"] = folder_.string();
        env["XDG_CONFIG_HOME"] = (folder_ / "config").string();
        env["XDG_STATE_HOME"] = (folder_ / "state").string();
        if (onPipeWire()) {
            env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (folder_ / "bus").string();
        }
        return env;
    }

    void startDaemon() {
        if (onPipeWire()) {
            startPipeWire();
            return;
        }
        std::vector<std::string> argv{"pulseaudio",         "-n",
                                      "--daemonize=no",     "--system=no",
                                      "--use-pid-file=no",  "--exit-idle-time=-1",
                                      "--realtime=no",      "--high-priority=no",
                                      "--no-cpu-limit=yes", "--log-target=stderr"};
        for (const auto& sink : sinks_) {
            argv.push_back("--load=module-null-sink " + sink.moduleArguments());
        }
        argv.push_back("--load=module-native-protocol-unix auth-anonymous=1 socket=" +
                       socketPath().string());
        const fs::path log = folder_ / "server.log";
        daemon_ = ChildProcess::start(argv, isolatedEnvironment(), log, log);
        const bool answers =
            pollUntil(10s, [&] { return !daemon_.running() || pactl({"info"}).exitCode == 0; });
        if (!answers || !daemon_.running()) {
            daemon_.stop(SIGKILL);
            throw std::runtime_error("the sound server did not start:\n" + this->log());
        }
    }

    // PipeWire, then its session manager, then its PulseAudio service; the null sinks are
    // loaded through that service, as a user's pactl would, the first one made the default.
    void startPipeWire() {
        const Environment env = isolatedEnvironment();
        if (!bus_.running()) {
            const fs::path log = folder_ / "dbus.log";
            bus_ = ChildProcess::start({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                        "--address=unix:path=" + (folder_ / "bus").string()},
                                       env, log, log);
            pollUntil(5s, [&] { return fs::exists(folder_ / "bus"); });
        }
        const auto start = [&](const char* name) {
            const fs::path log = folder_ / (std::string(name) + ".log");
            return ChildProcess::start({name}, env, log, log);
        };
        pipewire_ = start("pipewire");
        pollUntil(5s, [&] { return fs::exists(folder_ / "pipewire-0"); });
        session_ = start("wireplumber");
        daemon_ = start("pipewire-pulse");
        const bool answers =
            pollUntil(10s, [&] { return !daemon_.running() || pactl({"info"}).exitCode == 0; });
        if (!answers || !daemon_.running() || !pipewire_.running()) {
            stopAll(SIGKILL);
            throw std::runtime_error("the sound server did not start:\n" + this->log());
        }
        for (const auto& sink : sinks_) {
            if (!loadNullSink(sink)) {
                throw std::runtime_error("the sound server refused the sink " + sink.name);
            }
        }
        if (!sinks_.empty()) {
            pactl({"set-default-sink", sinks_.front().name});
        }
    }

    void stopAll(int signal) {
        daemon_.stop(signal, 5s);
        session_.stop(signal, 5s);
        pipewire_.stop(signal, 5s);
        bus_.stop(signal, 5s);
    }

    std::vector<NullSink> sinks_;
    fs::path folder_;
    ChildProcess daemon_;  // the server clients talk to: pulseaudio or pipewire-pulse
    ChildProcess pipewire_;
    ChildProcess session_;
    ChildProcess bus_;
    bool isFrozen_ = false;
    mutable int runCount_ = 0;
};

}  // namespace qv::testing
