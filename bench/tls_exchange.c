/* The least a client that asks a TLS host one question pays: connects to
 * HOST:PORT, completes a TLS 1.3 handshake verifying the server's
 * certificate against CA_FILE and the address, sends REQUEST (hexadecimal
 * bytes: one whole frame) and reads one reply frame (a 4-byte big-endian
 * length, then that many bytes), then exits 0. The fresh-process benchmark
 * starts it as the TLS part of its floor.
 * Usage: zvt_tls_exchange HOST PORT CA_FILE REQUEST */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int read_all(SSL* ssl, unsigned char* into, size_t length) {
  size_t got = 0;
  while (got < length) {
    int n = SSL_read(ssl, into + got, (int)(length - got));
    if (n <= 0) return 0;
    got += (size_t)n;
  }
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 5) return 3;
  size_t request_length = strlen(argv[4]) / 2;
  unsigned char* request = malloc(request_length + 1);
  for (size_t i = 0; i < request_length; ++i) {
    unsigned int byte;
    if (sscanf(argv[4] + 2 * i, "%2x", &byte) != 1) return 3;
    request[i] = (unsigned char)byte;
  }
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)atoi(argv[2]));
  if (inet_pton(AF_INET, argv[1], &address.sin_addr) != 1) return 3;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  if (fd < 0 || setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
      connect(fd, (struct sockaddr*)&address, sizeof address) != 0)
    return 4;

  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == NULL || !SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION) ||
      SSL_CTX_load_verify_locations(context, argv[3], NULL) != 1)
    return 5;
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, NULL);
  SSL* ssl = SSL_new(context);
  X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), argv[1]);
  SSL_set_fd(ssl, fd);
  if (SSL_connect(ssl) != 1) return 6;
  if (SSL_write(ssl, request, (int)request_length) != (int)request_length) return 7;
  unsigned char header[4];
  if (!read_all(ssl, header, sizeof header)) return 8;
  size_t length =
      ((size_t)header[0] << 24) | ((size_t)header[1] << 16) | ((size_t)header[2] << 8) | header[3];
  unsigned char* reply = malloc(length + 1);
  if (!read_all(ssl, reply, length)) return 8;
  SSL_shutdown(ssl);
  SSL_free(ssl);
  SSL_CTX_free(context);
  close(fd);
  free(reply);
  free(request);
  return 0;
}
