#include "TlsAnswerServer.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

namespace {

// A BIO over a platform::TcpSocket, so that OpenSSL reads and writes through it.
BIO_METHOD* SocketMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tcp socket");
    BIO_meth_set_write(m, [](BIO* bio, const char* data, int size) -> int {
      auto* socket = static_cast<platform::TcpSocket*>(BIO_get_data(bio));
      return socket->SendAll(data, static_cast<std::size_t>(size)) ? size : -1;
    });
    BIO_meth_set_read(m, [](BIO* bio, char* data, int size) -> int {
      auto* socket = static_cast<platform::TcpSocket*>(BIO_get_data(bio));
      const std::int64_t got = socket->Receive(data, static_cast<std::size_t>(size));
      return got > 0 ? static_cast<int>(got) : (got == 0 ? 0 : -1);
    });
    BIO_meth_set_ctrl(m, [](BIO*, int command, long, void*) -> long { return command == BIO_CTRL_FLUSH ? 1 : 0; });
    BIO_meth_set_create(m, [](BIO* bio) -> int {
      BIO_set_init(bio, 1);
      return 1;
    });
    return m;
  }();
  return method;
}

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("TlsAnswerServer: ") + what);
}

// A P-256 key and a self-signed certificate for 127.0.0.1 valid for a day.
void MakeCertificate(EVP_PKEY*& key, X509*& certificate) {
  key = EVP_EC_gen("P-256");
  Check(key != nullptr, "key generation");
  certificate = X509_new();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
  X509_set_pubkey(certificate, key);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1,
                             0);
  X509_set_issuer_name(certificate, name);
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, certificate, certificate, nullptr, nullptr, 0);
  for (const auto& [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
                                   std::pair{NID_basic_constraints, "critical,CA:TRUE"},
                                   std::pair{NID_key_usage, "digitalSignature,keyCertSign"}}) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    Check(extension != nullptr, "certificate extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
  }
  Check(X509_sign(certificate, key, EVP_sha256()) > 0, "certificate signing");
}

}  // namespace

TlsAnswerServer::TlsAnswerServer(const std::string& certificateFile, std::string answerBody) {
  answer_ = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(answerBody.size()) +
            "\r\n\r\n" + answerBody;
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  MakeCertificate(key, certificate);
  FILE* file = std::fopen(certificateFile.c_str(), "w");
  Check(file != nullptr && PEM_write_X509(file, certificate) == 1, "writing the certificate");
  std::fclose(file);
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  Check(context != nullptr, "context");
  Check(SSL_CTX_use_certificate(context, certificate) == 1 && SSL_CTX_use_PrivateKey(context, key) == 1,
        "certificate in use");
  X509_free(certificate);
  EVP_PKEY_free(key);
  context_ = context;
  Check(listener_.Listen(), "listening");
  port_ = listener_.LocalPort();
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

TlsAnswerServer::~TlsAnswerServer() {
  stopping_ = true;
  listener_.Shutdown();
  acceptor_.join();
  std::unique_lock<std::mutex> lock(mutex_);
  for (platform::TcpSocket* socket : sockets_) socket->Shutdown();
  allDone_.wait(lock, [this] { return sockets_.empty(); });
  SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

void TlsAnswerServer::AcceptLoop() {
  while (!stopping_) {
    platform::TcpSocket accepted = listener_.Accept();
    if (!accepted.IsValid()) break;
    auto* socket = new platform::TcpSocket(std::move(accepted));
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.insert(socket);
    std::thread([this, socket] {
      Serve(socket);
      std::lock_guard<std::mutex> done(mutex_);
      sockets_.erase(socket);
      delete socket;
      allDone_.notify_all();
    }).detach();
  }
}

// Reads requests (headers, then a body of Content-Length bytes) and answers
// each until the client closes or the server stops.
void TlsAnswerServer::Serve(platform::TcpSocket* socket) {
  ++connections_;
  SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context_));
  BIO* bio = BIO_new(SocketMethod());
  BIO_set_data(bio, socket);
  SSL_set_bio(ssl, bio, bio);
  if (SSL_accept(ssl) == 1) {
    std::string buffer;
    char chunk[16384];
    for (;;) {
      const std::size_t headEnd = buffer.find("\r\n\r\n");
      if (headEnd != std::string::npos) {
        std::size_t length = 0;
        const std::size_t at = buffer.find("Content-Length:");
        if (at != std::string::npos && at < headEnd) length = std::stoul(buffer.substr(at + 15));
        if (buffer.size() >= headEnd + 4 + length) {
          buffer.erase(0, headEnd + 4 + length);
          ++requests_;
          if (SSL_write(ssl, answer_.data(), static_cast<int>(answer_.size())) <= 0) break;
          continue;
        }
      }
      const int got = SSL_read(ssl, chunk, sizeof chunk);
      if (got <= 0) break;
      buffer.append(chunk, static_cast<std::size_t>(got));
    }
  }
  SSL_free(ssl);
  ERR_clear_error();
}
