// The few request and connection fields whose names differ between the
// httpd 2.2 interface the module was designed for and the 2.4 server it is
// built against. Everything else uses the same names in both.
#pragma once

#include <httpd.h>

// 2.2: r->connection->remote_ip. 2.4 keeps the address of the user agent
// in r->useragent_ip: the peer's address, unless a trusted proxy in front
// of the server has named the client (mod_remoteip).
inline const char *kvrClientIp(const request_rec *r) {
  return r->useragent_ip ? r->useragent_ip : r->connection->client_ip;
}
// Same name in both.
inline const char *kvrLocalIp(const request_rec *r) {
  return r->connection->local_ip;
}
