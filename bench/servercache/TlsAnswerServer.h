// A loopback HTTPS server for benchmarks: a self-signed certificate for
// 127.0.0.1 made when it starts (written to a PEM file that the benchmark
// trusts, and nothing else does), connections kept alive, and one fixed
// 200 answer to every request. The test server has no TLS, hence this one.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <set>

#include "platform/TcpSocket.h"

class TlsAnswerServer {
 public:
  // Listens on 127.0.0.1; throws std::runtime_error when it cannot.
  // `certificateFile` (UTF-8) receives the certificate in PEM form.
  TlsAnswerServer(const std::string& certificateFile, std::string answerBody);
  ~TlsAnswerServer();
  TlsAnswerServer(const TlsAnswerServer&) = delete;
  TlsAnswerServer& operator=(const TlsAnswerServer&) = delete;

  std::uint16_t port() const { return port_; }
  std::uint64_t requests() const { return requests_.load(); }
  std::uint64_t connections() const { return connections_.load(); }

 private:
  void AcceptLoop();
  void Serve(platform::TcpSocket* socket);

  void* context_ = nullptr;  // SSL_CTX
  std::string answer_;
  platform::TcpSocket listener_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> requests_{0};
  std::atomic<std::uint64_t> connections_{0};
  std::thread acceptor_;
  // Connections being served, each by a detached thread that removes (and
  // closes) its own when done.
  std::mutex mutex_;
  std::condition_variable allDone_;
  std::set<platform::TcpSocket*> sockets_;
};
