// SPDX-License-Identifier: LGPL-2.1-or-later
// vessikd's HTTP service: the routes, the access checks around them, and the
// parts that own the readers (the registry and its workers, event streams,
// photo decoder).
#ifndef VESSIKD_SERVICE_H
#define VESSIKD_SERVICE_H

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "access_policy.h"
#include "bounded_server.h"
#include "card_json.h"
#include "config.h"
#include "connection_limits.h"
#include "event_hub.h"
#include "local_users.h"
#include "reader_registry.h"
#include "refusal_log.h"

namespace vessikd {

class Service : private ConnectionGate {
  public:
    explicit Service(const Config &config);

    // Takes the sockets systemd passed on (socket activation) or else binds
    // every listen address, and starts the reader's threads; the URLs
    // served go into `urls`. false with a message if it cannot serve: an
    // address another program holds is an error, never skipped.
    bool start(std::vector<std::string> &urls, std::string &error);
    // Cancels the reads in progress, closes the readers and every stream,
    // stops the servers and waits for their threads.
    void stop();

    // Whether libusb tells of readers plugged in and out (else the bus is
    // looked at every second).
    bool reader_hotplug() const { return readers_.hotplug(); }

  private:
    // One listening socket and the name it is reached by ("127.0.0.1:19904").
    struct Listener {
        std::unique_ptr<BoundedServer> server;
        std::string host;
        bool ipv6 = false;
        int port = 0;
    };

    Admission opened(const Peer &peer) override;
    void closed(const Peer &peer, Admission admission) override;

    std::unique_ptr<BoundedServer> make_server();
    bool bind_listeners(std::string &error);
    bool adopt_listeners(const std::vector<int> &sockets, std::string &error);
    bool add_listener(std::unique_ptr<BoundedServer> server, std::string &error);
    std::vector<std::string> own_host_names() const;

    void set_up(httplib::Server &server);
    httplib::Server::HandlerResponse check_request(const httplib::Request &req,
                                                   httplib::Response &res) const;
    void finish_response(const httplib::Request &req, httplib::Response &res) const;
    Requester requester(const httplib::Request &req) const;

    void handle_status(const httplib::Request &req, httplib::Response &res);
    void handle_readers(const httplib::Request &req, httplib::Response &res);
    // A read on reader `id`, or on the first reader for an empty id.
    void handle_read(const httplib::Request &req, httplib::Response &res, const std::string &id);
    void handle_photo(const httplib::Request &req, httplib::Response &res);
    void handle_events(const httplib::Request &req, httplib::Response &res);
    // The readers' presence and the kit's version for everyone; what the
    // readers are doing only for `with_activity` (the kit's page, local
    // users). From memory: the bus is not looked at for it.
    std::string status_json(bool with_activity);
    // Whom the service admits: users, origins, token, card events.
    vessik_tools::Json admits_json() const;

    const Config config_;
    AccessPolicy policy_;
    LocalUsers users_;
    ConnectionLimits limits_;
    EventHub hub_;
    ReaderRegistry readers_;
    std::vector<Listener> listeners_;
    bool ipv6_absent_ = false; // the host has no ::1, so nobody can hold it
    std::vector<std::thread> threads_;
    mutable RefusalLog refusals_;
};

} // namespace vessikd

#endif
