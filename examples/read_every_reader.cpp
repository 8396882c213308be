// SPDX-License-Identifier: LGPL-2.1-or-later
// Reads a card from every reader at once, one thread each, as a counter with
// a reader at each desk would, and prints each card with the reader it lay on.
//
//   read_every_reader [SECONDS]   each reader waits up to SECONDS (default 10)
//
// Build: c++ -std=c++17 read_every_reader.cpp $(pkg-config --cflags --libs vessik) -pthread
// Exit status 0 when at least one card was read.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <vessik_read.h>

namespace {

constexpr unsigned kDefaultWaitS = 10;
constexpr unsigned kMsPerS = 1000;

// An open reader, closed when it goes out of scope.
using Reader = std::unique_ptr<vessik_reader, decltype(&vessik_reader_close)>;

// A card that is wiped when it goes out of scope: card data are personal.
struct Card : vessik_card {
    Card() { vessik_card_init(this); }
    ~Card() { explicit_bzero(static_cast<vessik_card *>(this), sizeof(vessik_card)); }
    Card(const Card &) = delete;
    Card &operator=(const Card &) = delete;
};

std::mutex output_lock;

void report(const std::string &where, int rc)
{
    const std::lock_guard<std::mutex> hold(output_lock);
    std::fprintf(stderr, "%s: %s\n", where.c_str(), vessik_strerror(rc));
}

// The locations of the readers there are now: USB in bus order, then the
// serial ports named in VESSIK_SERIAL_READERS.
std::vector<std::string> reader_locations()
{
    const int count = vessik_reader_list(nullptr, 0);
    if (count <= 0)
        return {};
    std::vector<vessik_reader_info> infos(static_cast<size_t>(count));
    for (auto &info : infos)
        vessik_reader_info_init(&info);
    const int listed = std::min(count, vessik_reader_list(infos.data(), count));
    std::vector<std::string> locations;
    for (int i = 0; i < listed; ++i)
        locations.emplace_back(infos[static_cast<size_t>(i)].location);
    return locations;
}

bool read_from(const std::string &where, unsigned deadline_ms)
{
    vessik_reader *handle = nullptr;
    int rc = vessik_reader_open(where.c_str(), &handle);
    if (rc != VESSIK_OK) {
        report(where, rc);
        return false;
    }
    const Reader reader(handle, &vessik_reader_close);

    vessik_read_options options;
    vessik_read_options_init(&options);
    options.deadline_ms = deadline_ms;
    const auto card = std::make_unique<Card>();
    rc = vessik_reader_read(reader.get(), &options, card.get());
    if (rc != VESSIK_OK) {
        report(where, rc);
        return false;
    }
    const std::lock_guard<std::mutex> hold(output_lock);
    std::printf("%s: %s %s %s\n", card->reader, vessik_card_type_name(card->type), card->name,
                card->id_number);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const unsigned wait_s =
        argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : kDefaultWaitS;
    const std::vector<std::string> locations = reader_locations();
    if (locations.empty()) {
        std::fprintf(stderr, "read_every_reader: %s\n", vessik_strerror(VESSIK_E_NO_READER));
        return 1;
    }

    std::atomic<int> cards{0};
    std::vector<std::thread> threads;
    for (const std::string &where : locations)
        threads.emplace_back([&cards, where, wait_s] {
            if (read_from(where, wait_s * kMsPerS))
                ++cards;
        });
    for (std::thread &t : threads)
        t.join();
    return cards > 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
