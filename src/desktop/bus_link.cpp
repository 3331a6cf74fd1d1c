#include "desktop/bus_link.h"

#include <netdb.h>
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

// The keys of a transport's "key=value,..." list, their values unescaped; a
// pair that is not one is left out.
std::map<std::string, std::string> Keys(const std::string& list) {
  std::map<std::string, std::string> keys;
  for (const std::string& pair : Split(list, ',')) {
    const size_t equals = pair.find('=');
    if (equals == std::string::npos) continue;
    gchar* value = g_uri_unescape_string(pair.substr(equals + 1).c_str(), nullptr);
    if (value) keys.emplace(pair.substr(0, equals), value);
    g_free(value);
  }
  return keys;
}

// What is read at most of the greeting's answer before its line end, and of
// one message: far above what a bus sends for the calls made here, so that
// a peer that sends without end holds only this much.
constexpr size_t MaxGreeting = 1 << 20;
constexpr gssize MaxMessage = 16 << 20;

}  // namespace

BusLink::~BusLink() {
  if (fd_ >= 0) close(fd_);
  for (const auto& [serial, message] : replies_) g_object_unref(message);
}

bool BusLink::Connect(const char* address) {
  // The entries are tried in order, as the bus libraries try them: the first
  // that connects is the bus. One that this cannot check ends the search,
  // since the toolkit would take it.
  for (const std::string& entry : Split(address, ';')) {
    if (entry.empty()) continue;
    const size_t colon = entry.find(':');
    const std::string transport = entry.substr(0, colon);
    const std::map<std::string, std::string> keys = Keys(colon == std::string::npos ? "" : entry.substr(colon + 1));
    Reach reach = Reach::Nothing;
    if (transport == "unix") {
      reach = ConnectUnix(keys);
    } else if (transport == "tcp") {
      reach = ConnectTcp(keys);
    } else if (transport != "disabled") {
      reach = Reach::Unchecked;
    }
    if (reach == Reach::Connected) return true;
    if (reach == Reach::Unchecked) {
      otherTransport_ = true;
      return false;
    }
  }
  return false;
}

// A path that does not fit a socket address, or none, is a bus nobody can
// reach: the bus libraries refuse it at once.
BusLink::Reach BusLink::ConnectUnix(const std::map<std::string, std::string>& keys) {
  sockaddr_un where{};
  where.sun_family = AF_UNIX;
  for (const char* key : {"path", "abstract"}) {
    const auto found = keys.find(key);
    if (found == keys.end()) continue;
    const std::string& value = found->second;
    const size_t skip = key[0] == 'a' ? 1 : 0;  // an abstract name begins with a NUL
    if (value.size() + skip >= sizeof where.sun_path) return Reach::Nothing;
    std::memcpy(where.sun_path + skip, value.data(), value.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + skip + value.size());
    return Open(AF_UNIX, reinterpret_cast<sockaddr*>(&where), length) ? Reach::Connected : Reach::Nothing;
  }
  return Reach::Nothing;
}

// A numeric host, or localhost (also where no host is named); a name that
// would need a resolver cannot be looked up within the deadline. A refused
// connection is a bus that is not there; one that is neither taken nor
// refused in time counts as connected, and then as silent.
BusLink::Reach BusLink::ConnectTcp(const std::map<std::string, std::string>& keys) {
  const auto host = keys.find("host");
  const auto port = keys.find("port");
  if (port == keys.end()) return Reach::Nothing;
  const bool local = host == keys.end() || host->second == "localhost";
  for (const char* name : local ? std::vector<const char*>{"127.0.0.1", "::1"}
                                : std::vector<const char*>{host->second.c_str()}) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, port->second.c_str(), &hints, &found) != 0) return local ? Reach::Nothing : Reach::Unchecked;
    const bool open = Open(found->ai_family, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    if (!open) continue;
    if (!Wait(POLLOUT)) return Reach::Connected;
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) return Reach::Connected;
    close(fd_);
    fd_ = -1;
  }
  return Reach::Nothing;
}

// A non-blocking socket of family connected, or on its way there, to where.
bool BusLink::Open(int family, const sockaddr* where, socklen_t length) {
  fd_ = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  // A full backlog (EAGAIN) is a bus that accepts nothing: it counts as silent.
  if (connect(fd_, where, length) == 0 || errno == EINPROGRESS || errno == EAGAIN) return true;
  close(fd_);
  fd_ = -1;
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
  size_t end;
  while ((end = buffer_.find("\r\n")) == std::string::npos)
    if (buffer_.size() > MaxGreeting || !Receive(buffer_)) return false;
  const bool accepted = buffer_.rfind("OK ", 0) == 0;
  buffer_.erase(0, end + 2);
  if (!accepted || !Send("BEGIN\r\n")) return false;
  // A bus that takes Hello but does not answer its own methods holds the
  // toolkit at its first call to it: one of them is asked too, the owner of
  // a name that GTK 3 asks for.
  const char* const bus = "org.freedesktop.DBus";
  const guint32 hello = Call(false, bus, "/org/freedesktop/DBus", bus, "Hello", nullptr);
  const guint32 owner = Call(false, bus, "/org/freedesktop/DBus", bus, "GetNameOwner",
                             g_variant_new("(s)", "org.freedesktop.portal.Documents"));
  return hello && owner && Await({hello, owner});
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
  // Also when every read has something: a peer may send without end.
  if (g_get_monotonic_time() >= deadline_) return false;
  char chunk[16384];
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
  if (needed < 16 || needed > MaxMessage) return false;
  while (buffer_.size() < static_cast<size_t>(needed))
    if (!Receive(buffer_)) return false;
  GDBusMessage* message = g_dbus_message_new_from_blob(reinterpret_cast<guchar*>(buffer_.data()),
                                                       static_cast<gsize>(needed), G_DBUS_CAPABILITY_FLAGS_NONE,
                                                       nullptr);
  buffer_.erase(0, static_cast<size_t>(needed));
  if (!message) return false;
  const GDBusMessageType type = g_dbus_message_get_message_type(message);
  const guint32 serial = g_dbus_message_get_reply_serial(message);
  // Only the first reply to a call this link made is kept.
  if ((type == G_DBUS_MESSAGE_TYPE_METHOD_RETURN || type == G_DBUS_MESSAGE_TYPE_ERROR) && serial &&
      serial <= serial_ && !replies_.count(serial)) {
    replies_[serial] = message;
  } else {
    g_object_unref(message);
  }
  return true;
}
