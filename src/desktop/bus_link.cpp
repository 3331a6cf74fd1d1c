#include "desktop/bus_link.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

BusLink::~BusLink() {
  if (fd_ >= 0) close(fd_);
  for (const auto& [serial, message] : replies_) g_object_unref(message);
}

bool BusLink::Connect(const char* address) {
  for (const std::string& entry : Split(address, ';')) {
    if (entry.rfind("unix:", 0) != 0) {
      otherTransport_ = true;
      continue;
    }
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    socklen_t length = 0;
    for (const std::string& pair : Split(entry.substr(5), ',')) {
      const size_t equals = pair.find('=');
      if (equals == std::string::npos) continue;
      const std::string key = pair.substr(0, equals);
      gchar* value = g_uri_unescape_string(pair.substr(equals + 1).c_str(), nullptr);
      if (!value) continue;
      const size_t size = std::strlen(value);
      const bool abstract = key == "abstract";
      if ((key == "path" || abstract) && size + 1 < sizeof where.sun_path) {
        std::memset(where.sun_path, 0, sizeof where.sun_path);
        std::memcpy(where.sun_path + (abstract ? 1 : 0), value, size);
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size + (abstract ? 1 : 0));
      }
      g_free(value);
    }
    if (length == 0) {
      otherTransport_ = true;
      continue;
    }
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (connect(fd_, reinterpret_cast<sockaddr*>(&where), length) == 0 || errno == EINPROGRESS ||
        errno == EAGAIN) {
      // A full backlog (EAGAIN) is a bus that accepts nothing: it counts as silent.
      return true;
    }
    close(fd_);
    fd_ = -1;
  }
  return false;
}

bool BusLink::Greet() {
  const std::string uid = std::to_string(getuid());
  std::string hex;
  for (const char c : uid) {
    hex += '3';
    hex += c;
  }
  if (!Send(std::string(1, '\0') + "AUTH EXTERNAL " + hex + "\r\n")) return false;
  std::string line;
  while (line.find("\r\n") == std::string::npos)
    if (!Receive(line)) return false;
  if (line.rfind("OK ", 0) != 0) return false;
  if (!Send("BEGIN\r\n")) return false;
  const guint32 hello =
      Call(false, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "Hello", nullptr);
  return hello && Await({hello});
}

guint32 BusLink::Call(bool noStart, const char* destination, const char* path, const char* interface,
                      const char* method, GVariant* body) {
  GDBusMessage* message = g_dbus_message_new_method_call(destination, path, interface, method);
  if (noStart) g_dbus_message_set_flags(message, G_DBUS_MESSAGE_FLAGS_NO_AUTO_START);
  if (body) g_dbus_message_set_body(message, body);
  const guint32 serial = ++serial_;
  g_dbus_message_set_serial(message, serial);
  gsize size = 0;
  guchar* blob = g_dbus_message_to_blob(message, &size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
  g_object_unref(message);
  if (!blob) return 0;
  const bool sent = Send(std::string(reinterpret_cast<char*>(blob), size));
  g_free(blob);
  return sent ? serial : 0;
}

bool BusLink::Await(const std::vector<guint32>& serials) {
  for (;;) {
    bool all = true;
    for (const guint32 serial : serials)
      if (!replies_.count(serial)) all = false;
    if (all) return true;
    if (!ReadMessage()) return false;
  }
}

GDBusMessage* BusLink::Reply(guint32 serial) const {
  const auto found = replies_.find(serial);
  return found == replies_.end() ? nullptr : found->second;
}

// Waits for the socket until the deadline. False when time is up.
bool BusLink::Wait(short events) {
  const gint64 left = deadline_ - g_get_monotonic_time();
  if (left <= 0) return false;
  pollfd entry{fd_, events, 0};
  const int ready = poll(&entry, 1, static_cast<int>((left + 999) / 1000));
  return ready > 0 && !(entry.revents & POLLNVAL);
}

bool BusLink::Send(const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t wrote = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (wrote > 0) {
      done += static_cast<size_t>(wrote);
    } else if (wrote < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!Wait(POLLOUT)) return false;
    } else {
      return false;
    }
  }
  return true;
}

// Appends what the socket holds to into, waiting for it up to the deadline.
bool BusLink::Receive(std::string& into) {
  char chunk[4096];
  for (;;) {
    const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got > 0) {
      into.append(chunk, static_cast<size_t>(got));
      return true;
    }
    if (got == 0 || (errno != EAGAIN && errno != EINTR)) return false;
    if (!Wait(POLLIN)) return false;
  }
}

// Reads one whole message into the replies, when it is one.
bool BusLink::ReadMessage() {
  while (buffer_.size() < 16)
    if (!Receive(buffer_)) return false;
  const gssize needed = g_dbus_message_bytes_needed(reinterpret_cast<guchar*>(buffer_.data()), 16, nullptr);
  if (needed < 16) return false;
  while (buffer_.size() < static_cast<size_t>(needed))
    if (!Receive(buffer_)) return false;
  GDBusMessage* message = g_dbus_message_new_from_blob(reinterpret_cast<guchar*>(buffer_.data()),
                                                       static_cast<gsize>(needed), G_DBUS_CAPABILITY_FLAGS_NONE,
                                                       nullptr);
  buffer_.erase(0, static_cast<size_t>(needed));
  if (!message) return false;
  const GDBusMessageType type = g_dbus_message_get_message_type(message);
  const guint32 serial = g_dbus_message_get_reply_serial(message);
  if ((type == G_DBUS_MESSAGE_TYPE_METHOD_RETURN || type == G_DBUS_MESSAGE_TYPE_ERROR) && serial &&
      !replies_.count(serial)) {
    replies_[serial] = message;
  } else {
    g_object_unref(message);
  }
  return true;
}
