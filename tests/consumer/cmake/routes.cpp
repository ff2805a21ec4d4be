#include <ombrix.hpp>

#include <iostream>
#include <stdexcept>
#include <string>

int main() {
  ombrix::server srv;
  srv.get("/hello/(?P<name>[a-z]+)", [](ombrix::request &req, ombrix::response &res) {
    res.send("Hello, " + std::string(req.var("name")) + "!\n", "text/plain");  // 200
  });
  srv.post("/echo", [](ombrix::request &req, ombrix::response &res) {
    res.header("X-Length", std::to_string(req.payload().size()));
    res.send(std::string(req.payload()), "application/octet-stream", 201);
  });
  srv.get("/boom", [](ombrix::request &, ombrix::response &) {
    throw std::runtime_error("boom");  // the client gets 500; the server goes on
  });
  // GET /hello/BOB -> 404; POST /hello/bob -> 405 with "Allow: GET, HEAD"
  srv.listen(0);  // throws ombrix::error when it cannot listen
  std::cout << "Server running at http://localhost:" << srv.port() << std::endl;
  std::cin.get();  // serve until Enter; the destructor stops the server
}
