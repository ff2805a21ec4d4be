// intake (C++): uploads from an HTML form, saved, listed and downloaded back.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "ombrix.hpp"

namespace {

constexpr char kFormPage[] =
    "<html><body><form action=\"\" method=\"post\" "
    "enctype=\"multipart/form-data\"><fieldset>"
    "<legend>Choose the files:</legend>"
    "File 1: <input type=\"file\" name=\"file1\"/><br>"
    "File 2: <input type=\"file\" name=\"file2\"/><br>"
    "<input type=\"submit\"/></fieldset></form></body></html>";
constexpr char kBadRequestPage[] =
    "<html><head><title>Bad request</title></head><body>400</body></html>";
constexpr char kNotFoundPage[] =
    "<html><head><title>Not found</title></head><body>404</body></html>";
constexpr char kNoMemoryPage[] =
    "<html><head><title>Server error</title></head><body>500</body></html>";
constexpr char kHtml[] = "text/html; charset=utf-8";

// |text| with the bytes that mean something in HTML replaced by their
// entities, so a client's file name shows as text.
void append_html(std::string &out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
}

// |text| percent-encoded but for the unreserved bytes, so it goes through a
// query string and comes back decoded as it was.
void append_query_value(std::string &out, std::string_view text) {
  static const char hex[] = "0123456789ABCDEF";
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                      (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                      c == '_' || c == '~';
    if (unreserved) {
      out += ch;
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
}

// Saves every upload and lists it, or why it was not saved.
void process_uploads(ombrix::request &req, ombrix::response &res) {
  std::string page;
  try {
    page =
        "<html><head><title>Uploads</title></head><body>"
        "<strong>Uploaded files:</strong><br><ol>";
    for (ombrix::upload upld : req.uploads()) {
      std::string_view name = upld.name();
      try {
        upld.save(true);
        page += "<li><a href=\"?file=";
        append_query_value(page, name);
        page += "\">";
        append_html(page, name);
        page += "</a></li>";
      } catch (const ombrix::error &e) {
        page += "<li><font color='red'>";
        append_html(page, name);
        page += " - failed - ";
        append_html(page, e.code().message());
        page += "</font></li>";
      }
    }
    page += "</ol></body></html>";
  } catch (const std::bad_alloc &) {
    res.send(kNoMemoryPage, kHtml, 500);
    return;
  }
  res.send(page, kHtml);
}

// A name the library would have refused to save cannot name a saved file;
// refusing it keeps the client's text from leaving the upload directory.
bool file_name_ok(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char ch : name) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

void send_download(ombrix::request &req, ombrix::response &res,
                   std::string_view name) {
  std::string path;
  if (file_name_ok(name)) {
    path = std::string(req.server().upload_dir()) + '/' + std::string(name);
  }
  // A path that does not fit a PATH_MAX buffer is refused, not cut short.
  if (path.empty() || path.size() >= 4096) {
    res.send(kBadRequestPage, kHtml, 400);
    return;
  }
  // Only a regular file is sent: not a directory, a FIFO that would block,
  // nor a symbolic link that points out of the directory.
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    try {
      res.send_file(path, "attachment");
      return;
    } catch (const ombrix::error &) {
      // Gone meanwhile, or unreadable: as good as missing.
    }
  }
  res.send(kNotFoundPage, kHtml, 404);
}

void answer(ombrix::request &req, ombrix::response &res) {
  if (req.is_uploading()) {
    process_uploads(req, res);
    return;
  }
  ombrix::strmap_view params = req.params();
  if (!params.empty()) {
    // A query without "file" is left to the core, which answers it.
    if (params.contains("file")) send_download(req, res, params.get("file"));
    return;
  }
  res.send(kFormPage, kHtml);
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc != 2) {
    std::printf("%s <PORT>\n", argv[0]);
    return 1;
  }
  auto port = static_cast<uint16_t>(std::strtol(argv[1], nullptr, 10));
  try {
    ombrix::server srv;
    srv.fallback(answer);
    srv.listen(port);
    std::printf("Server running at http://localhost:%d\n", srv.port());
    std::fflush(stdout);
    std::getchar();
  } catch (const ombrix::error &) {
    return 1;
  }
  return 0;
}
