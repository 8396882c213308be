// vessik-read: reads identity cards from the USB reader and prints them, as
// JSON for scripts or as text for people.
//
// The library writes its own diagnostics to standard output; to keep that
// stream for the cards alone, the real standard output is kept on a
// descriptor of our own and descriptor 1 points at standard error.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "card_output.h"
#include "cli_options.h"
#include "vessik_read.h"

namespace {

constexpr const char *kSelf = "vessik-read";
constexpr long kCancelRepeatNs = 20L * 1000 * 1000;
constexpr int kExitSignalBase = 128;

std::atomic<bool> g_stopping{false};

// The signal thread: the first SIGINT or SIGTERM cancels the read, again and
// again until the main thread has seen it (a cancel that falls between two
// reads would otherwise be lost); a second one ends the process at once.
void *watch_signals(void *arg)
{
    const sigset_t *signals = static_cast<const sigset_t *>(arg);
    int first = 0;
    if (sigwait(signals, &first) != 0)
        return nullptr;
    g_stopping.store(true);
    const timespec repeat = {0, kCancelRepeatNs};
    for (;;) {
        vessik_cancel();
        const int again = sigtimedwait(signals, nullptr, &repeat);
        if (again > 0)
            _exit(kExitSignalBase + again);
    }
}

bool start_signal_thread(sigset_t *signals)
{
    sigemptyset(signals);
    sigaddset(signals, SIGINT);
    sigaddset(signals, SIGTERM);
    // Blocked here, before any other thread exists, so only sigwait takes them.
    if (pthread_sigmask(SIG_BLOCK, signals, nullptr) != 0)
        return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, watch_signals, signals) != 0)
        return false;
    pthread_detach(thread);
    return true;
}

// The real standard output, for the cards; descriptor 1 goes to standard error.
FILE *take_stdout()
{
    fflush(stdout);
    const int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (fd < 0)
        return nullptr;
    FILE *out = fdopen(fd, "w");
    if (out == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        return nullptr;
    return out;
}

bool is_directory(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

constexpr mode_t kPrivateUmask = 077;
constexpr const char *kScratchPattern = "/.vessik-read.XXXXXX";

enum class Photo { Written, NotWritten, NameTaken };

// Empties and removes the private folder the decoder wrote into.
void remove_scratch(const std::string &scratch)
{
    DIR *dir = opendir(scratch.c_str());
    if (dir != nullptr) {
        while (const dirent *entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                unlinkat(dirfd(dir), entry->d_name, 0);
        }
        closedir(dir);
    }
    rmdir(scratch.c_str());
}

// Moves `from` to `to` unless something, a planted link included, is
// already called `to`.
bool move_without_replacing(const std::string &from, const std::string &to)
{
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without RENAME_NOREPLACE: a hard link refuses an
    // existing name just the same.
    return link(from.c_str(), to.c_str()) == 0;
}

// Asks the photo decoder for DIR/<id>.bmp (`path`). The decoder writes into
// a private folder made inside DIR (0700, and umask 077 meanwhile, so the
// image is the user's alone), and the image is moved into place only where
// no file of that name is: a planted link or an earlier photo is never
// written through or replaced. The stand-in decoder writes nothing.
Photo save_photo(const vessik_card &card, const std::string &dir, std::string &path)
{
    const std::string name = vread::photo_file_name(card.id_number);
    path = dir + "/" + name;
    std::string scratch = dir + kScratchPattern;
    if (mkdtemp(&scratch[0]) == nullptr)
        return Photo::NotWritten;
    const std::string written = scratch + "/" + name;
    const mode_t mask = umask(kPrivateUmask);
    SaveImage(card.photo, written.c_str());
    umask(mask);
    Photo outcome = Photo::NotWritten;
    struct stat st {};
    if (lstat(written.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        outcome = move_without_replacing(written, path)
                      ? Photo::Written
                      : (errno == EEXIST ? Photo::NameTaken : Photo::NotWritten);
    remove_scratch(scratch);
    return outcome;
}

// Prints the card; false when its photo was decoded but its file name was
// taken.
bool print_card(FILE *out, const vessik_card &card, const vread::CliOptions &options)
{
    std::string image;
    std::string note = "1024 bytes (--photo DIR asks for an image)";
    Photo photo = Photo::NotWritten;
    if (!options.photo_dir.empty()) {
        std::string path;
        photo = save_photo(card, options.photo_dir, path);
        if (photo == Photo::Written)
            image = path;
        note = photo == Photo::Written     ? "1024 bytes, image written to " + path
               : photo == Photo::NameTaken ? "1024 bytes, no image written (" + path + " exists)"
                                           : "1024 bytes, no image written (no photo decoder?)";
        if (photo == Photo::NameTaken)
            std::fprintf(stderr, "%s: --photo: %s exists; it is not replaced\n", kSelf,
                         path.c_str());
    }
    const std::string text =
        options.json ? vread::card_json_line(card, image) : vread::card_text(card, note) + "\n";
    fputs(text.c_str(), out);
    fflush(out);
    return photo != Photo::NameTaken;
}

int exit_code_for(int result)
{
    switch (result) {
    case VESSIK_OK:
        return vread::kExitCardRead;
    case VESSIK_E_TIMEOUT:
        return vread::kExitTimeout;
    case VESSIK_E_CANCELLED:
        return vread::kExitCancelled;
    case VESSIK_E_NO_READER:
        return vread::kExitNoReader;
    case VESSIK_E_READER_LOST:
        return vread::kExitReaderLost;
    default:
        return vread::kExitFailed;
    }
}

int run(FILE *out, const vread::CliOptions &cli)
{
    vessik_read_options options;
    vessik_read_options_init(&options);
    options.deadline_ms = cli.timeout_ms;
    if (cli.interval_ms != 0)
        options.poll_interval_ms = cli.interval_ms;

    for (;;) {
        if (g_stopping.load())
            break;
        vessik_card card;
        vessik_card_init(&card);
        const int result = vessik_read(&options, &card);
        if (result == VESSIK_OK) {
            const bool photo_placed = print_card(out, card, cli);
            if (!cli.watch)
                return photo_placed ? vread::kExitCardRead : vread::kExitFailed;
            continue;
        }
        if (result == VESSIK_E_CANCELLED || g_stopping.load())
            break;
        std::fprintf(stderr, "%s: %s\n", kSelf, vessik_strerror(result));
        return exit_code_for(result);
    }
    // Stopped by a signal: the normal end of --watch.
    return cli.watch ? vread::kExitCardRead : vread::kExitCancelled;
}

} // namespace

int main(int argc, char **argv)
{
    vread::CliOptions cli;
    std::string error;
    switch (vread::parse_cli(argc, argv, cli, error)) {
    case vread::ParseOutcome::Help:
        std::fputs(vread::cli_usage(), stdout);
        return vread::kExitCardRead;
    case vread::ParseOutcome::Usage:
        std::fprintf(stderr, "%s: %s\n(see %s --help)\n", kSelf, error.c_str(), kSelf);
        return vread::kExitUsage;
    case vread::ParseOutcome::Run:
        break;
    }
    if (!cli.photo_dir.empty() && !is_directory(cli.photo_dir)) {
        std::fprintf(stderr, "%s: --photo %s: not a folder\n", kSelf, cli.photo_dir.c_str());
        return vread::kExitUsage;
    }

    FILE *out = take_stdout();
    sigset_t signals;
    if (out == nullptr || !start_signal_thread(&signals)) {
        std::fprintf(stderr, "%s: cannot set up: %s\n", kSelf, std::strerror(errno));
        return vread::kExitFailed;
    }
    return run(out, cli);
}
