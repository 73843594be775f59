/* The floor of the host load benchmark: a bare epoll server in C that, for
 * each request, answers with as many bytes as the request asks for. A
 * request is a 4-byte big-endian length of the whole request, a 4-byte
 * big-endian length of the reply wanted, and padding up to its length; the
 * client sends requests and reads replies of the sizes zvthostd's frames
 * have. One thread, level-triggered, no parsing beyond the lengths; plain
 * TCP, or TLS through OpenSSL when given a certificate and its key (what
 * TLS alone costs, with nothing else of a server's work).
 * Usage: zvt_echo_server PORT_FILE [CERT_PEM KEY_PEM] */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

struct client {
  SSL* ssl; /* null for plain TCP */
  unsigned char head[8];
  uint32_t got;    /* bytes of the current request read */
  uint32_t length; /* its whole length, once the head is in */
  uint32_t reply;  /* reply bytes still to send */
};

static unsigned char zeros[1 << 16];

static uint32_t be32(const unsigned char* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

/* Sends what is owed; 0 when all of it left, 1 when the socket is full, -1 on failure. */
static int flush(int fd, struct client* c) {
  while (c->reply > 0) {
    size_t n = c->reply < sizeof zeros ? c->reply : sizeof zeros;
    if (c->ssl != NULL) {
      int w = SSL_write(c->ssl, zeros, (int)n);
      if (w <= 0) {
        int e = SSL_get_error(c->ssl, w);
        return e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ ? 1 : -1;
      }
      c->reply -= (uint32_t)w;
      continue;
    }
    ssize_t w = send(fd, zeros, n, MSG_NOSIGNAL);
    if (w < 0) return errno == EAGAIN ? 1 : -1;
    c->reply -= (uint32_t)w;
  }
  return 0;
}

/* Reads what arrived: bytes read, 0 when nothing more is there now, -1 on
 * failure or end. A TLS session may hold decrypted bytes the socket no
 * longer shows, so it is read until it has none. */
static ssize_t take(int fd, struct client* c, unsigned char* buffer, size_t size) {
  if (c->ssl == NULL) {
    ssize_t r = recv(fd, buffer, size, 0);
    if (r < 0 && errno == EAGAIN) return 0;
    return r > 0 ? r : -1;
  }
  int r = SSL_read(c->ssl, buffer, (int)size);
  if (r > 0) return r;
  int e = SSL_get_error(c->ssl, r);
  return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? 0 : -1;
}

static void drop(int fd, struct client* c) {
  if (c->ssl != NULL) SSL_free(c->ssl);
  c->ssl = NULL;
  close(fd);
}

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    fprintf(stderr, "usage: %s PORT_FILE [CERT_PEM KEY_PEM]\n", argv[0]);
    return 2;
  }
  SSL_CTX* tls = NULL;
  if (argc == 4) {
    tls = SSL_CTX_new(TLS_server_method());
    if (tls == NULL || SSL_CTX_set_min_proto_version(tls, TLS1_2_VERSION) != 1 ||
        SSL_CTX_use_certificate_chain_file(tls, argv[2]) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls, argv[3], SSL_FILETYPE_PEM) != 1) {
      ERR_print_errors_fp(stderr);
      return 1;
    }
    SSL_CTX_set_mode(tls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_read_ahead(tls, 1); /* as zvthostd reads: records read together */
  }
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listener, (struct sockaddr*)&a, sizeof a) != 0 || listen(listener, SOMAXCONN) != 0 ||
      getsockname(listener, (struct sockaddr*)&a, &len) != 0)
    return 1;
  char tmp[4096];
  snprintf(tmp, sizeof tmp, "%s.tmp", argv[1]);
  FILE* f = fopen(tmp, "w");
  if (f == NULL) return 1;
  fprintf(f, "%d\n", ntohs(a.sin_port));
  fclose(f);
  rename(tmp, argv[1]);

  size_t capacity = (size_t)files.rlim_cur + 1;
  struct client* clients = calloc(capacity, sizeof *clients);
  int ep = epoll_create1(EPOLL_CLOEXEC);
  struct epoll_event e = {EPOLLIN, {.fd = listener}};
  epoll_ctl(ep, EPOLL_CTL_ADD, listener, &e);
  struct epoll_event events[256];
  unsigned char buffer[1 << 16];
  for (;;) {
    int n = epoll_wait(ep, events, 256, -1);
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == listener) {
        int c;
        while ((c = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
          if ((size_t)c >= capacity) {
            close(c);
            continue;
          }
          int one = 1;
          setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          memset(&clients[c], 0, sizeof clients[c]);
          if (tls != NULL) {
            clients[c].ssl = SSL_new(tls);
            if (clients[c].ssl == NULL || SSL_set_fd(clients[c].ssl, c) != 1) {
              drop(c, &clients[c]);
              continue;
            }
            SSL_set_accept_state(clients[c].ssl);
          }
          struct epoll_event ce = {EPOLLIN, {.fd = c}};
          epoll_ctl(ep, EPOLL_CTL_ADD, c, &ce);
        }
        continue;
      }
      struct client* c = &clients[fd];
      int state = 0;
      if (events[i].events & EPOLLOUT) state = flush(fd, c);
      /* A TLS session also reads (its handshake) when it may write. */
      if (state == 0 && ((events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) || c->ssl != NULL))
        for (;;) {
          ssize_t r = take(fd, c, buffer, sizeof buffer);
          if (r < 0) state = -1;
          if (r <= 0) break;
          for (ssize_t at = 0; state == 0 && at < r;) {
            if (c->got < 8) {
              c->head[c->got++] = buffer[at++];
              if (c->got == 8) c->length = be32(c->head);
            } else {
              uint32_t part = c->length - c->got;
              if ((ssize_t)part > r - at) part = (uint32_t)(r - at);
              c->got += part;
              at += part;
            }
            if (c->got >= 8 && c->got >= c->length) {
              c->reply += be32(c->head + 4);
              c->got = 0;
              state = flush(fd, c);
            }
          }
          /* Plain TCP reads once per event, as level-triggered epoll
           * reports the rest. */
          if (state != 0 || c->ssl == NULL) break;
        }
      if (state < 0) {
        drop(fd, c);
        continue;
      }
      /* A handshake that waits to write. */
      if (state == 0 && c->ssl != NULL && SSL_want_write(c->ssl)) state = 1;
      struct epoll_event ce = {state == 1 ? EPOLLOUT : EPOLLIN, {.fd = fd}};
      epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ce);
    }
  }
}
