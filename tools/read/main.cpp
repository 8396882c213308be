// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik-read: reads identity cards from a USB reader and prints them, as
// JSON for scripts or as text for people; or lists the readers.
#include <algorithm>
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
#include <vector>

#include "card_output.h"
#include "cli_options.h"
#include "photo_decoder_probe.h"
#include "portrait_png.h"
#include "private_file.h"
#include "reader_output.h"
#include "vessik_read.h"

namespace {

constexpr const char *kSelf = "vessik-read";
constexpr int kExitSignalBase = 128;
// --watch keeps this reader open to tell when a card is lifted.
constexpr const char *kWatchedReader = "usb";

std::atomic<bool> g_stopping{false};
// Every read and wait carries it: a cancel stays, so one that comes between
// two reads stops the next one as well.
vessik_cancel_token *g_cancel = nullptr;

// The signal thread: the first SIGINT or SIGTERM cancels the reads; a second
// one ends the process at once.
void *watch_signals(void *arg)
{
    const sigset_t *signals = static_cast<const sigset_t *>(arg);
    int first = 0;
    if (sigwait(signals, &first) != 0)
        return nullptr;
    g_stopping.store(true);
    vessik_cancel_token_cancel(g_cancel);
    int again = 0;
    while (sigwait(signals, &again) != 0) {
    }
    _exit(kExitSignalBase + again);
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

bool is_directory(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

constexpr mode_t kPrivateUmask = 077;
constexpr const char *kScratchPattern = "/.vessik-read.XXXXXX";

enum class Photo { NotAsked, Written, NotWritten, NameTaken, NoDecoder };

// Only the kit's stand-in answers the decoder's call (or nothing does): it
// writes no image, whatever it is asked.
bool photo_decoder_missing()
{
    const vessik_tools::PhotoDecoderProbe probe = vessik_tools::probe_photo_decoder();
    return probe.file == nullptr || probe.standin;
}

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

// Asks the photo decoder for DIR/<id>.bmp (`path`). The decoder writes into
// a private folder made inside DIR (0700, and umask 077 meanwhile, so the
// image is the user's alone), and the image is moved into place only where
// no file of that name is: a planted link or an earlier photo is never
// written through or replaced. The stand-in decoder writes nothing. `why`:
// what kept the image from its place.
Photo save_photo(const vessik_card &card, const std::string &dir, std::string &path,
                 std::string &why)
{
    const std::string name = vread::photo_file_name(card.id_number);
    path = dir + "/" + name;
    std::string scratch = dir + kScratchPattern;
    if (mkdtemp(&scratch[0]) == nullptr) {
        why = std::strerror(errno);
        return Photo::NotWritten;
    }
    const std::string written = scratch + "/" + name;
    const mode_t mask = umask(kPrivateUmask);
    SaveImage(card.photo, written.c_str());
    umask(mask);
    Photo outcome = Photo::NotWritten;
    why = "the photo decoder wrote no image";
    struct stat st {};
    if (lstat(written.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        if (vessik_tools::move_without_replacing(written, path)) {
            outcome = Photo::Written;
        } else {
            outcome = errno == EEXIST ? Photo::NameTaken : Photo::NotWritten;
            why = std::strerror(errno);
        }
    }
    remove_scratch(scratch);
    return outcome;
}

// Writes the portrait as the new private file `path` (mode 0600, never
// through a planted link nor over an existing name). `why`: the library's
// text when no image came.
Photo save_png(const vessik_card &card, const std::string &path, std::string &why)
{
    std::string png;
    if (vessik_tools::portrait_png(card.photo, png, why) != vessik_tools::Portrait::Png)
        return Photo::NotWritten;
    const bool written = vessik_tools::write_new_private_file(path, png);
    const int saved = errno;
    explicit_bzero(&png[0], png.size());
    if (written)
        return Photo::Written;
    why = std::strerror(saved);
    return saved == EEXIST ? Photo::NameTaken : Photo::NotWritten;
}

// The portrait in the format --photo-format asks for, at `path`.
Photo save_photo_as(const vessik_card &card, const vread::CliOptions &options, std::string &path,
                    std::string &why)
{
    if (options.photo_format == vread::kPhotoFormatBmp)
        return save_photo(card, options.photo_dir, path, why);
    path = options.photo_dir + "/" + vread::photo_file_name(card.id_number, options.photo_format);
    return save_png(card, path, why);
}

// Prints the card; says what became of its photo. `no_decoder`: --photo was
// given but no decoder can write the image, so none is asked for.
Photo print_card(FILE *out, const vessik_card &card, const vread::CliOptions &options,
                 bool no_decoder)
{
    std::string image;
    std::string note = "1024 bytes (--photo DIR asks for an image)";
    Photo photo = Photo::NotAsked;
    if (no_decoder) {
        photo = Photo::NoDecoder;
        note = "1024 bytes, no image written (no photo decoder is installed)";
    } else if (!options.photo_dir.empty()) {
        std::string path;
        std::string why;
        photo = save_photo_as(card, options, path, why);
        if (photo == Photo::Written)
            image = path;
        note = photo == Photo::Written     ? "1024 bytes, image written to " + path
               : photo == Photo::NameTaken ? "1024 bytes, no image written (" + path + " exists)"
                                           : "1024 bytes, no image written (" + why + ")";
        if (photo == Photo::NameTaken)
            std::fprintf(stderr, "%s: --photo: %s exists; it is not replaced\n", kSelf,
                         path.c_str());
        else if (photo != Photo::Written)
            std::fprintf(stderr, "%s: --photo: no image written: %s\n", kSelf, why.c_str());
    }
    const std::string text =
        options.json ? vread::card_json_line(card, image) : vread::card_text(card, note) + "\n";
    fputs(text.c_str(), out);
    fflush(out);
    return photo;
}

// The exit status a printed card leaves: --photo asked for an image, and
// none written is a failure, though the card was read.
int card_status(Photo photo)
{
    switch (photo) {
    case Photo::NameTaken:
    case Photo::NotWritten:
        return vread::kExitFailed;
    case Photo::NoDecoder:
        return vread::kExitNoPhotoDecoder;
    default:
        return vread::kExitCardRead;
    }
}

// One read, on the reader --reader opened or on the default one.
int read_once(vessik_reader *reader, const vessik_read_options &options, vessik_card *card)
{
    return reader != nullptr ? vessik_reader_read(reader, &options, card)
                             : vessik_read(&options, card);
}

// --watch: waits for the card just printed to leave, and says so. A module
// that cannot tell is read on as before, its cards once per presentation.
int wait_removed(vessik_reader *reader, const vessik_read_options &options, const vessik_card &card,
                 const vread::CliOptions &cli)
{
    static bool told_cannot = false;
    const int result = vessik_reader_wait_removed(reader, &options);
    if (result == VESSIK_OK) {
        const std::string line =
            cli.json ? vread::removal_json_line(card.reader) : vread::removal_text(card.reader);
        fputs(line.c_str(), stdout);
        fflush(stdout);
    } else if (result == VESSIK_E_NOT_SUPPORTED) {
        if (!told_cannot)
            std::fprintf(stderr, "%s: %s cannot tell when a card is lifted\n", kSelf, card.reader);
        told_cannot = true;
        return VESSIK_OK;
    }
    return result;
}

int read_cards(vessik_reader *reader, const vread::CliOptions &cli)
{
    vessik_read_options options;
    vessik_read_options_init(&options);
    options.deadline_ms = cli.timeout_ms;
    if (cli.interval_ms != 0)
        options.poll_interval_ms = cli.interval_ms;
    options.want_fingerprints = cli.fingerprints ? 1 : 0;
    options.want_appended_address = cli.appended_address ? 1 : 0;
    options.cancel_token = g_cancel;
    options.answer_driven = cli.answer_driven ? 1 : 0;

    const bool no_decoder = !cli.photo_dir.empty() && photo_decoder_missing();
    bool decoder_told = false;
    int watch_status = vread::kExitCardRead; // the worst a card's photo left
    for (;;) {
        if (g_stopping.load())
            break;
        vessik_card card;
        vessik_card_init(&card);
        int result = read_once(reader, options, &card);
        if (result == VESSIK_OK) {
            const Photo photo = print_card(stdout, card, cli, no_decoder);
            if (no_decoder && !decoder_told) {
                std::fprintf(stderr,
                             "%s: --photo: no photo decoder is installed (%s), so no image is "
                             "written; vessik-doctor names the decoder found\n",
                             kSelf,
                             vessik_tools::probe_photo_decoder().standin ? "only the stand-in"
                                                                         : "none loaded");
                decoder_told = true;
            }
            if (!cli.watch)
                return card_status(photo);
            watch_status = std::max(watch_status, card_status(photo));
            const int gone = wait_removed(reader, options, card, cli);
            if (gone == VESSIK_OK)
                continue;
            result = gone;
        }
        if (result == VESSIK_E_CANCELLED || g_stopping.load())
            break;
        std::fprintf(stderr, "%s: %s\n", kSelf, vread::error_text(result).c_str());
        return vread::exit_code_for(result);
    }
    // Stopped by a signal: the normal end of --watch, unless its cards came
    // without the images --photo asked for.
    return cli.watch ? watch_status : vread::kExitCancelled;
}

int run(const vread::CliOptions &cli)
{
    // --once reads the default reader; --watch holds one open, to see the
    // card it printed leave.
    if (cli.reader.empty() && !cli.watch)
        return read_cards(nullptr, cli);
    const std::string where = cli.reader.empty() ? kWatchedReader : cli.reader;
    vessik_reader *reader = nullptr;
    const int opened = vessik_reader_open(where.c_str(), &reader);
    if (opened != VESSIK_OK) {
        if (cli.reader.empty())
            std::fprintf(stderr, "%s: %s\n", kSelf, vread::error_text(opened).c_str());
        else
            std::fprintf(stderr, "%s: --reader %s: %s\n", kSelf, cli.reader.c_str(),
                         vread::error_text(opened).c_str());
        return vread::exit_code_for(opened);
    }
    const int status = read_cards(reader, cli);
    vessik_reader_close(reader);
    return status;
}

// Every reader, each opened briefly to learn its module's identifier.
int list_readers(const vread::CliOptions &cli)
{
    const int count = vessik_reader_list(nullptr, 0);
    if (count < 0) {
        std::fprintf(stderr, "%s: %s\n", kSelf, vread::error_text(count).c_str());
        return vread::exit_code_for(count);
    }
    std::vector<vessik_reader_info> found(static_cast<size_t>(count));
    for (vessik_reader_info &info : found)
        vessik_reader_info_init(&info);
    const int listed = count > 0 ? vessik_reader_list(found.data(), count) : 0;
    found.resize(static_cast<size_t>(std::max(0, std::min(listed, count))));

    std::vector<vread::ListedReader> readers;
    for (const vessik_reader_info &info : found) {
        vread::ListedReader entry{info, VESSIK_OK};
        vessik_reader *reader = nullptr;
        entry.open_result = vessik_reader_open(info.location, &reader);
        if (entry.open_result == VESSIK_OK) {
            vessik_reader_get_info(reader, &entry.info);
            vessik_reader_close(reader);
        }
        readers.push_back(entry);
    }
    if (cli.json) {
        fputs(vread::reader_list_json(readers).c_str(), stdout);
    } else {
        for (const vread::ListedReader &reader : readers)
            fputs(vread::reader_line(reader).c_str(), stdout);
    }
    fflush(stdout);
    if (readers.empty()) {
        std::fprintf(stderr, "%s: no reader found%s\n", kSelf, vread::kDoctorHint);
        return vread::kExitNoReader;
    }
    return vread::kExitCardRead;
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

    // Before any thread; without a decoder the cards are read all the same.
    vessik_tools::load_photo_decoder();
    if (cli.list)
        return list_readers(cli);
    g_cancel = vessik_cancel_token_new();
    if (g_cancel == nullptr) {
        std::fprintf(stderr, "%s: out of memory\n", kSelf);
        return vread::kExitFailed;
    }
    sigset_t signals;
    if (!start_signal_thread(&signals)) {
        std::fprintf(stderr, "%s: cannot set up: %s\n", kSelf, std::strerror(errno));
        return vread::kExitFailed;
    }
    return run(cli);
}
