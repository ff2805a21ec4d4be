// notes PORT [DATA_DIR]: a small REST service for notes on the C++ interface.
// JSON at /notes (writes need the Basic credentials editor / notes),
// attachments by multipart under DATA_DIR/<id>/ (default: notes-data), a
// page at /ui/ that calls the API from another origin (localhost on the
// same port), gzip, an access log on standard output, HTTPS when NOTES_CERT
// and NOTES_KEY name a PEM pair.  SIGTERM, SIGINT or a character on standard
// input drains it.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "ombrix.hpp"

using nlohmann::json;
namespace fs = std::filesystem;
using req_t = ombrix::request;
using res_t = ombrix::response;

namespace {

void send_json(res_t &res, const json &body, unsigned int status = 200) {
  res.send(body.dump(), "application/json", status);
}

// The note of a JSON body ({"title": ..., "text": ...}), or none after a
// 400.
std::optional<json> read_note(req_t &req, res_t &res) {
  json in = json::parse(req.payload(), nullptr, false);
  if (in.is_object() && in.value("title", json()).is_string()) {
    return json{{"title", in["title"]}, {"text", in.value("text", "")}};
  }
  send_json(res, {{"error", "a JSON object with a title is expected"}}, 400);
  return std::nullopt;
}

const char *env(const char *name, const char *otherwise = nullptr) {
  const char *value = std::getenv(name);
  return value != nullptr ? value : otherwise;
}

}  // namespace

int main(int argc, char *argv[]) try {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PORT [DATA_DIR]\n", argv[0]);
    return 1;
  }
  const fs::path data = argc > 2 ? argv[2] : "notes-data";
  // Blocked before the server's threads start, so only sigwait() takes them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  std::mutex mu;  // guards |notes| and |next|
  std::map<long, json> notes;
  long next = 1;
  auto note = [&](long id) {  // the note with its id, or null
    std::lock_guard lock(mu);
    auto it = notes.find(id);
    if (it == notes.end()) return json();
    json out = it->second;
    out["id"] = id;
    return out;
  };
  auto store = [&](long id, json value) {  // id 0: a new note
    std::lock_guard lock(mu);
    if (id == 0) id = next++;
    notes[id] = std::move(value);
    return id;
  };
  ombrix::server srv;
  const std::string id = "/notes/(?<id>[0-9]{1,9})";
  srv.get("/notes", [&](req_t &, res_t &res) {
    std::lock_guard lock(mu);
    json list = json::array();
    for (auto &[n, v] : notes) list.push_back({{"id", n}, {"title", v["title"]}});
    send_json(res, list);
  });
  srv.get(id, [&](req_t &req, res_t &res) {
    send_json(res, note(*req.var_as<long>("id")));
  });
  srv.post("/notes", [&](req_t &req, res_t &res) {
    std::optional<json> in = read_note(req, res);
    if (!in) return;
    long made = store(0, *in);
    res.set_header("Location", "/notes/" + std::to_string(made));
    send_json(res, note(made), 201);
  });
  srv.put(id, [&](req_t &req, res_t &res) {
    std::optional<json> in = read_note(req, res);
    if (in) send_json(res, note(store(*req.var_as<long>("id"), *in)));
  });
  srv.del(id, [&](req_t &req, res_t &res) {
    {
      std::lock_guard lock(mu);
      notes.erase(*req.var_as<long>("id"));
    }
    fs::remove_all(data / std::string(req.var("id")));
    res.send("", "", 204);
  });
  srv.post(id + "/files", [&](req_t &req, res_t &res) {
    fs::path dir = data / std::string(req.var("id"));
    fs::create_directories(dir);
    json saved = json::array();
    for (ombrix::upload up : req.uploads()) {
      std::string name = ombrix::safe_filename(up.name());
      up.save_as((dir / name).string(), true);
      saved.push_back(name);
    }
    send_json(res, saved, 201);
  });
  srv.get(id + "/files/(?<name>[^/]+)", [&](req_t &req, res_t &res) {
    std::string name(req.var("name"));
    if (ombrix::safe_filename(name) != name) return send_json(res, {}, 404);
    res.send_file((data / std::string(req.var("id")) / name).string());
  });
  srv.get("/ui(/.*)?", [](req_t &req, res_t &res) {
    res.send_dir(env("NOTES_UI", NOTES_UI), req.path().substr(3));
  });
  // Writes need the editor; a note that does not exist is refused on the
  // head, before an upload to it is read (a PUT makes it).
  srv.authenticate([](ombrix::auth &a, req_t &req, res_t &) {
    bool reads = req.method() == "GET" || req.method() == "HEAD";
    if (reads || (a.user() == "editor" && a.password() == "notes")) return true;
    a.realm("notes");
    a.deny(R"({"error":"credentials needed"})", "application/json");
    return false;
  });
  srv.before([&](req_t &req, res_t &res) {
    std::optional<long> n = req.var_as<long>("id");
    if (!n || req.method() == "PUT" || !note(*n).is_null()) return true;
    send_json(res, {{"error", "no such note"}}, 404);
    return false;
  });
  ombrix::server::cors_options cors;
  cors.allow = [&srv](std::string_view origin) {
    std::string own = "localhost:" + std::to_string(srv.port());
    return origin == "http://" + own || origin == "https://" + own;
  };
  cors.headers = "Authorization, Content-Type";
  cors.expose = "Location";
  cors.credentials = true;
  srv.cors(cors);
  for (unsigned int status : {400, 401, 404, 405, 413, 500, 503}) {
    json page = {{"error", std::to_string(status)}};
    srv.status_page(status, page.dump(), "application/json");
  }
  srv.set_compression(6);
  srv.log_to(stdout);
  if (env("NOTES_CERT") && env("NOTES_KEY")) {
    srv.set_tls(env("NOTES_CERT"), env("NOTES_KEY"));
  }
  srv.listen(static_cast<std::uint16_t>(std::strtol(argv[1], nullptr, 10)));
  std::printf("Server running at %s://localhost:%d\n",
              env("NOTES_CERT") ? "https" : "http", srv.port());
  std::fflush(stdout);

  std::thread([] {
    std::getchar();
    kill(getpid(), SIGTERM);
  }).detach();
  int sig = 0;
  sigwait(&stop, &sig);
  srv.drain(std::chrono::seconds(5));
  return 0;
} catch (const std::exception &e) {  // a busy port, unreadable TLS files
  std::cerr << "notes: " << e.what() << std::endl;
  return 1;
}
