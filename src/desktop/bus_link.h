// A connection of its own to a D-Bus bus, for asking a desktop service
// whether it answers before the toolkit relies on it. Every step (connect,
// authentication, each send and each read) is bounded by one deadline, on the
// monotonic clock; a step that would pass it fails. No thread is started, no
// main loop is run, and nothing is left open when the link ends.
#pragma once

#include <gio/gio.h>
#include <sys/socket.h>

#include <map>
#include <string>
#include <vector>

class BusLink {
 public:
  // deadline: g_get_monotonic_time() value past which every step fails.
  explicit BusLink(gint64 deadline) : deadline_(deadline) {}
  BusLink(const BusLink&) = delete;
  BusLink& operator=(const BusLink&) = delete;
  ~BusLink();

  // Connects to the first entry of a bus address that takes the connection:
  // a unix socket ("unix:path=..." or "unix:abstract=...") or a tcp one with
  // a numeric or local host. False when nothing listens at any of them (the
  // toolkit then fails as quickly as this does), or an entry before them
  // names what this does not try.
  bool Connect(const char* address);

  // After a failed Connect: whether the address names no transport that this
  // does not try (a launcher, a program, a host name): false where a bus may
  // still be there.
  bool TriedAll() const { return !otherTransport_; }

  // Authenticates as this user, sends Hello and asks the bus for a name's
  // owner. False when the bus does not answer both in time, or refuses.
  bool Greet();

  // Sends a method call and returns its serial, 0 when it could not be sent.
  // With noStart, a name that nobody owns is not started: the bus answers
  // with an error at once. Takes body when it is floating.
  guint32 Call(bool noStart, const char* destination, const char* path, const char* interface,
               const char* method, GVariant* body);

  // Gives the steps still to come until deadline.
  void SetDeadline(gint64 deadline) { deadline_ = deadline; }

  // Waits until every one of serials has its reply (or error), or the
  // deadline passes, or the bus ends the link or sends what is not a
  // message. True when all came. Only replies to the link's own calls are
  // kept, and what is read is bounded in size.
  bool Await(const std::vector<guint32>& serials);

  // The reply to serial, a return or an error; nullptr when none came. The
  // link keeps it.
  GDBusMessage* Reply(guint32 serial) const;

 private:
  enum class Reach { Connected, Nothing, Unchecked };
  Reach ConnectUnix(const std::map<std::string, std::string>& keys);
  Reach ConnectTcp(const std::map<std::string, std::string>& keys);
  bool Open(int family, const sockaddr* where, socklen_t length);
  bool Wait(short events);
  bool Send(const std::string& data);
  bool Receive(std::string& into);
  bool ReadMessage();

  gint64 deadline_;
  int fd_ = -1;
  bool otherTransport_ = false;
  guint32 serial_ = 0;
  std::string buffer_;
  std::map<guint32, GDBusMessage*> replies_;
};
