// vessikd's HTTP service: the routes, the access checks around them, and the
// parts that own the reader (monitor, worker, event streams, photo decoder).
#ifndef VESSIKD_SERVICE_H
#define VESSIKD_SERVICE_H

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "access_policy.h"
#include "bounded_server.h"
#include "config.h"
#include "event_hub.h"
#include "photo_decoder.h"
#include "reader_monitor.h"
#include "reader_worker.h"

namespace vessikd {

class Service {
  public:
    explicit Service(const Config &config);

    // Binds every listen address and starts the reader's threads; the URLs
    // served go into `urls`. false with a message if nothing can be served.
    bool start(std::vector<std::string> &urls, std::string &error);
    // Cancels a read in progress, closes the reader and every stream, stops
    // the servers and waits for their threads.
    void stop();

  private:
    void set_up(httplib::Server &server);
    httplib::Server::HandlerResponse check_request(const httplib::Request &req,
                                                   httplib::Response &res) const;
    void finish_response(const httplib::Request &req, httplib::Response &res) const;

    void handle_status(httplib::Response &res);
    void handle_read(const httplib::Request &req, httplib::Response &res);
    void handle_photo(const httplib::Request &req, httplib::Response &res);
    void handle_events(httplib::Response &res);
    std::string status_json();

    const Config config_;
    AccessPolicy policy_;
    EventHub hub_;
    ReaderMonitor monitor_;
    ReaderWorker worker_;
    PhotoDecoder decoder_;
    std::vector<std::unique_ptr<BoundedServer>> servers_;
    std::vector<std::thread> listeners_;
};

} // namespace vessikd

#endif
