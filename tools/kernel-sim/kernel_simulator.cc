#include "kernel_simulator.h"

#ifdef _WIN32
#include <afunix.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/un.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <pugixml.hpp>
#include <sstream>

#include "kernel/crc32.h"
#include "kernel/frame_header.h"
#include "platform/thread_id.h"
#include "support/errors.h"

namespace vd {
namespace {

constexpr uint16_t kEmptyRequest = 0;
constexpr uint16_t kRegistration = 2;
constexpr uint16_t kSystemEvent = 9;
constexpr uint16_t kStatus = 2500;
constexpr uint16_t kSignal = 2501;

// The socket calls that ISocketApi has; bind, listen and accept are direct.
ISocketApi& Api() { return PosixSocketApi(); }

int Listen(int fd, const sockaddr* address, socklen_t length, const std::string& what) {
  if (fd < 0 || bind(fd, address, length) != 0 || listen(fd, 8) != 0) {
    const int error = errno;
    if (fd >= 0) Api().Close(fd);
    throw MakeOSError(error, "listen", what);
  }
  return fd;
}

std::string JsonEscape(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", byte);
          out += buffer;
        } else {
          out += ch;
        }
    }
  }
  return out;
}

// The leaf elements below node as "name":"text" members.
void AppendLeaves(pugi::xml_node node, std::string& out, bool& first) {
  for (pugi::xml_node child : node.children()) {
    if (child.type() != pugi::node_element) continue;
    if (child.find_child([](pugi::xml_node n) { return n.type() == pugi::node_element; })) {
      AppendLeaves(child, out, first);
      continue;
    }
    out += first ? "" : ",";
    first = false;
    out += "\"" + JsonEscape(child.name()) + "\":\"" + JsonEscape(child.child_value()) + "\"";
  }
}

}  // namespace

TKernelSimulator::TKernelSimulator(TKernelSimOptions options, std::ostream* json_out)
    : options_(std::move(options)),
      json_out_(json_out),
      kernel_guid_(NewGuid()),
      codec_(FrameSecurity{options_.RequireEncryption, options_.Key, options_.IVSeed}),
      mode_(options_.Mode),
      policy_(options_.Policy) {
  try {
    int32_t tcp_port = options_.TcpPort;
    if (!options_.PipePath.empty()) {
#ifndef _WIN32
      throw Exception("named pipes are served on Windows; give a Unix-domain socket path");
#endif
      if (tcp_port < 0) tcp_port = 0;
    }
    if (tcp_port >= 0) {
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(tcp_port));
      if (inet_pton(AF_INET, options_.TcpAddress.c_str(), &address.sin_addr) != 1) {
        throw Exception("not an IPv4 address: " + options_.TcpAddress);
      }
      const int fd = Api().Socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const int one = 1;
      if (fd >= 0) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
      }
      tcp_listener_ =
          Listen(fd, reinterpret_cast<sockaddr*>(&address), sizeof address, options_.TcpAddress);
      socklen_t length = sizeof address;
      getsockname(tcp_listener_, reinterpret_cast<sockaddr*>(&address), &length);
      tcp_port_ = ntohs(address.sin_port);
    }
    if (!options_.UnixPath.empty()) {
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      if (options_.UnixPath.size() >= sizeof address.sun_path) {
        throw Exception("socket path too long: " + options_.UnixPath);
      }
      std::memcpy(address.sun_path, options_.UnixPath.data(), options_.UnixPath.size());
      std::remove(options_.UnixPath.c_str());
      unix_listener_ =
          Listen(Api().Socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0),
                 reinterpret_cast<sockaddr*>(&address), sizeof address, options_.UnixPath);
    }
#ifdef _WIN32
    if (!options_.PipePath.empty()) {
      const std::string host =
          options_.TcpAddress == "0.0.0.0" ? std::string("127.0.0.1") : options_.TcpAddress;
      pipe_relay_ = std::make_unique<TWindowsPipeRelay>(options_.PipePath, host, tcp_port_);
    }
#endif
  } catch (...) {
    if (tcp_listener_ >= 0) Api().Close(tcp_listener_);
    if (unix_listener_ >= 0) Api().Close(unix_listener_);
    throw;
  }
  thread_ = std::thread([this] { Serve(); });
}

TKernelSimulator::~TKernelSimulator() { Stop(); }

void TKernelSimulator::Stop() {
  if (!thread_.joinable()) return;
#ifdef _WIN32
  // First, so that its clients see the pipe break when the Kernel goes.
  if (pipe_relay_) pipe_relay_->Stop();
#endif
  stopping_ = true;
  Wake();
  thread_.join();
  CloseClient();
  for (TPeer& peer : peers_) {
    if (peer.Fd >= 0) Api().Close(peer.Fd);
  }
  peers_.clear();
  if (tcp_listener_ >= 0) Api().Close(tcp_listener_);
  if (unix_listener_ >= 0) {
    Api().Close(unix_listener_);
    std::remove(options_.UnixPath.c_str());
  }
  tcp_listener_ = unix_listener_ = -1;
}

void TKernelSimulator::Wake() { wake_.Notify(); }

void TKernelSimulator::SendRaw(std::string bytes) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    TOutgoing item;
    item.Raw = true;
    item.Bytes = std::move(bytes);
    outgoing_.push_back(std::move(item));
  }
  Wake();
}

TGuid TKernelSimulator::SendRequest(uint16_t frame_type, uint8_t direction, std::string data) {
  TOutgoing item;
  item.Frame.FrameType = frame_type;
  item.Frame.Direction = direction;
  item.Frame.FrameGUID = NewGuid();
  item.Frame.Data = std::move(data);
  const TGuid guid = item.Frame.FrameGUID;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    outgoing_.push_back(std::move(item));
  }
  Wake();
  return guid;
}

void TKernelSimulator::DropConnection() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    drop_ = true;
  }
  Wake();
}

void TKernelSimulator::SetMode(std::string mode) {
  std::lock_guard<std::mutex> guard(mutex_);
  mode_ = std::move(mode);
}

void TKernelSimulator::SetSilent(bool silent) {
  std::lock_guard<std::mutex> guard(mutex_);
  silent_ = silent;
}

void TKernelSimulator::SetPolicy(TKernelSimPolicy policy) {
  std::lock_guard<std::mutex> guard(mutex_);
  policy_ = policy;
}

void TKernelSimulator::SetCloseAfterEveryFrame(bool close) {
  std::lock_guard<std::mutex> guard(mutex_);
  close_after_frame_ = close;
}

std::vector<TSimFrame> TKernelSimulator::Received() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return received_;
}

size_t TKernelSimulator::CountReceived(uint16_t frame_type,
                                       std::optional<uint8_t> direction) const {
  std::lock_guard<std::mutex> guard(mutex_);
  size_t n = 0;
  for (const TSimFrame& f : received_) {
    if (f.Frame.FrameType == frame_type && (!direction || f.Frame.Direction == *direction)) ++n;
  }
  return n;
}

size_t TKernelSimulator::CountAnswered(uint16_t frame_type, uint8_t answer) const {
  std::lock_guard<std::mutex> guard(mutex_);
  size_t n = 0;
  for (const TSimFrame& f : received_) {
    if (f.Frame.FrameType == frame_type && f.AnswerDirection == answer) ++n;
  }
  return n;
}

int TKernelSimulator::Connections() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return connections_;
}

int TKernelSimulator::BadFrames() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return bad_frames_;
}

int TKernelSimulator::SignalsAndEvents() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return signals_and_events_;
}

std::string TKernelSimulator::ActiveDriver() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return active_;
}

std::vector<TSimModeChange> TKernelSimulator::ModeChanges() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return mode_changes_;
}

bool TKernelSimulator::WaitFor(const std::function<bool(const TKernelSimulator&)>& condition,
                               int timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    lock.unlock();
    const bool done = condition(*this);
    lock.lock();
    if (done) return true;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      lock.unlock();
      return condition(*this);
    }
  }
}

void TKernelSimulator::Record(TSimFrame frame) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    received_.push_back(std::move(frame));
  }
  changed_.notify_all();
}

void TKernelSimulator::Serve() {
  SetCurrentThreadName("kernel-sim");
  while (options_.Standby && !stopping_.load() && ServePeers()) {
  }
  while (!options_.Standby && !stopping_.load()) {
    pollfd fds[4] = {PollEntry(wake_.Fd(), POLLIN), PollEntry(tcp_listener_, POLLIN),
                     PollEntry(unix_listener_, POLLIN), PollEntry(client_, POLLIN)};
    if (Api().Poll(fds, 4, 200) < 0 && errno != EINTR) break;
    if ((fds[0].revents & POLLIN) != 0) wake_.Drain();
    if ((fds[1].revents & POLLIN) != 0) Accept(tcp_listener_);
    if ((fds[2].revents & POLLIN) != 0) Accept(unix_listener_);
    if (client_ >= 0 && (fds[3].revents & (POLLIN | POLLHUP | POLLERR)) != 0) ReadClient();
    FlushOutgoing();
  }
}

void TKernelSimulator::Accept(int listener) {
#ifdef _WIN32
  const SOCKET accepted = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  const int fd = accepted == INVALID_SOCKET ? -1 : static_cast<int>(accepted);
#else
  const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#endif
  if (fd < 0) return;
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  if (options_.Standby) {
    TPeer peer;
    peer.Fd = fd;
    peer.LastHeard = std::chrono::steady_clock::now();
    peers_.push_back(std::move(peer));
    {
      std::lock_guard<std::mutex> guard(mutex_);
      ++connections_;
    }
    changed_.notify_all();
    return;
  }
  CloseClient();
  client_ = fd;
  input_.clear();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++connections_;
    drop_ = false;
  }
  changed_.notify_all();
}

void TKernelSimulator::CloseClient() {
  if (client_ >= 0) Api().Close(client_);
  client_ = -1;
  input_.clear();
  std::lock_guard<std::mutex> guard(mutex_);
  outgoing_.clear();
}

void TKernelSimulator::ReadClient() {
  char buffer[65536];
  const ssize_t n = Api().Recv(client_, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    CloseClient();
    changed_.notify_all();
    return;
  }
  if (n < 0) return;
  input_.append(buffer, static_cast<size_t>(n));
  // Complete frames only; a bad header makes the rest of the input unusable.
  for (int frames = 0; frames < 10000 && input_.size() >= kFrameHeaderSize; ++frames) {
    TOrvanFrame frame = ParseFrameHeader(std::string_view(input_).substr(0, kFrameHeaderSize));
    bool bad = CalculateHeaderCRC(frame) != frame.HeaderCRC;
    if (!bad) {
      try {
        CheckFrameHeaderSizes(frame);
      } catch (const Exception&) {
        bad = true;
      }
    }
    if (!bad && input_.size() < kFrameHeaderSize + frame.TransmittedDataSize) return;
    if (!bad) {
      frame.Data = input_.substr(kFrameHeaderSize, frame.TransmittedDataSize);
      bad = CalculateDataCRC(frame.Data) != frame.DataCRC;
    }
    if (bad) {
      input_.clear();
      {
        std::lock_guard<std::mutex> guard(mutex_);
        ++bad_frames_;
      }
      changed_.notify_all();
      return;
    }
    input_.erase(0, kFrameHeaderSize + frame.TransmittedDataSize);
    HandleFrame(std::move(frame));
  }
}

void TKernelSimulator::HandleFrame(TOrvanFrame frame) {
  bool silent = false;
  bool close_after = false;
  TKernelSimPolicy policy;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    silent = silent_;
    close_after = close_after_frame_;
    policy = policy_;
  }
  TSimFrame record;
  TPeer* const peer = Current();
  if (peer != nullptr) {
    peer->LastHeard = std::chrono::steady_clock::now();
    peer->Probed = false;
  }
  try {
    codec_.DecodeFrame(frame);
  } catch (const std::exception&) {
    record.Decoded = false;
  }
  const bool request =
      frame.Direction == 0 || frame.Direction == 1 || frame.Direction == 5 || frame.Direction == 6;
  uint8_t answer = 0;
  if (!record.Decoded) {
    answer = request && !silent ? 9 : 0;
  } else if (request && !silent) {
    const uint8_t ack = frame.Direction >= 5 ? 7 : 2;
    switch (frame.FrameType) {
      case kRegistration:
        if (options_.AnswerRegistration) answer = ack;
        if (answer == 2 && peer != nullptr) RegisterPeer(frame);
        break;
      case kStatus:
        if (options_.AnswerStatus) answer = 1;  // the status answer itself
        break;
      case kSignal:
      case kSystemEvent:
        answer = ack;
        if (policy.Mode == TKernelSimPolicy::Kind::Never) {
          answer = 0;
        } else if (policy.Mode == TKernelSimPolicy::Kind::EveryNth && policy.N > 0 &&
                   ++policy_count_ % policy.N == 0) {
          answer = policy.RefuseDirection;
        }
        break;
      default:
        answer = ack;
        break;
    }
  }
  if (record.Decoded && request &&
      (frame.FrameType == kSignal || frame.FrameType == kSystemEvent)) {
    PrintJson(frame, answer);
    std::lock_guard<std::mutex> guard(mutex_);
    ++signals_and_events_;
  }
  // Recorded before it is answered: whoever sees the driver act on the answer
  // finds the frame among those received.
  record.Frame = frame;
  record.AnswerDirection = answer;
  if (peer != nullptr) record.Driver = peer->Name;
  Record(std::move(record));
  if (answer == 1) {
    // The status answer is a request carrying the report's FrameGUID.
    TOrvanFrame status;
    status.FrameType = kStatus;
    status.Direction = 1;
    status.FrameGUID = frame.FrameGUID;
    status.DestinationModuleGUID = frame.SourceModuleGUID;
    status.DestinationInstallationNumber = frame.SourceInstallationNumber;
    std::string mode;
    if (peer != nullptr) {
      mode = peer->Active ? "Active" : options_.StandbyMode;
    } else {
      std::lock_guard<std::mutex> guard(mutex_);
      mode = mode_;
    }
    status.Data = StatusAnswerDocument(mode);
    SendFrame(std::move(status));
  } else if (answer != 0) {
    Answer(frame, answer);
  }
  if (answer != 0 && frame.FrameType == kRegistration && answer == 2) {
    TOrvanFrame registered;
    registered.FrameType = kRegistration;
    registered.Direction = 1;
    registered.FrameGUID = NewGuid();
    registered.DestinationModuleGUID = frame.SourceModuleGUID;
    registered.DestinationInstallationNumber =
        peer != nullptr ? peer->Installation : options_.InstallationNumber;
    SendFrame(std::move(registered));
  }
  if (close_after) CloseClient();
}

void TKernelSimulator::Answer(const TOrvanFrame& received, uint8_t direction) {
  TOrvanFrame answer = received;
  answer.Data.clear();
  answer.Direction = direction;
  answer.DestinationModuleGUID = received.SourceModuleGUID;
  answer.DestinationInstallationNumber = received.SourceInstallationNumber;
  SendFrame(std::move(answer));
}

void TKernelSimulator::SendFrame(TOrvanFrame frame) {
  if (client_ < 0) return;
  frame.SourceModuleGUID = kernel_guid_;
  frame.SourceInstallationNumber = 0;
  frame.FrameNumber = 0;
  codec_.EncodeFrame(frame);
  const std::string bytes = SerializeFrame(frame);
  size_t sent = 0;
  for (int pass = 0; sent < bytes.size() && pass < 1000; ++pass) {
    const ssize_t n = Api().Send(client_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      CloseClient();
      return;
    }
    sent += static_cast<size_t>(n);
  }
}

void TKernelSimulator::FlushOutgoing() {
  std::deque<TOutgoing> items;
  bool drop = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    items.swap(outgoing_);
    drop = drop_;
    drop_ = false;
  }
  for (TOutgoing& item : items) {
    if (client_ < 0) break;
    if (!item.Raw) {
      SendFrame(std::move(item.Frame));
      continue;
    }
    if (Api().Send(client_, item.Bytes.data(), item.Bytes.size(), MSG_NOSIGNAL) < 0) CloseClient();
  }
  if (drop) {
    CloseClient();
    changed_.notify_all();
  }
}

std::string TKernelSimulator::StatusAnswerDocument(const std::string& mode) const {
  pugi::xml_document document;
  pugi::xml_node declaration = document.append_child(pugi::node_declaration);
  declaration.append_attribute("version") = "1.0";
  declaration.append_attribute("encoding") = "UTF-8";
  pugi::xml_node root = document.append_child("Data");
  root.append_child("Mode").text() = mode.c_str();
  root.append_child("Status").text() = options_.Status.c_str();
  pugi::xml_node list = root.append_child("ModulesList");
  list.append_child("ChangeIndex").text() = options_.ChangeIndex;
  for (int i = 0; i < options_.ModuleCount; ++i) {
    pugi::xml_node module = list.append_child("Module");
    TGuid guid = kernel_guid_;
    guid.data4[7] = static_cast<uint8_t>(guid.data4[7] + i);
    module.append_child("GUID").text() = guid.ToString().c_str();
    module.append_child("ProxyModule").text() = TGuid{}.ToString().c_str();
    module.append_child("Name").text() = ("Module " + std::to_string(i + 1)).c_str();
    module.append_child("IPAddress").text() = "127.0.0.1";
    module.append_child("ModuleType").text() = 1;
    module.append_child("State").text() = "Active";
    module.append_child("RegisteredUser").text() = "";
    module.append_child("InstallationNumber").text() = i + 1;
  }
  if (options_.TimeDifference) {
    root.append_child("TimeDifference").text() = static_cast<long long>(*options_.TimeDifference);
  }
  std::ostringstream out;
  document.save(out, "", pugi::format_raw, pugi::encoding_utf8);
  return out.str();
}

void TKernelSimulator::PrintJson(const TOrvanFrame& frame, uint8_t answer) {
  if (json_out_ == nullptr) return;
  std::string line = "{\"kind\":\"";
  line += frame.FrameType == kSignal ? "signal" : "event";
  line += "\",\"frame_guid\":\"" + frame.FrameGUID.ToString() + "\"";
  line += ",\"installation\":" + std::to_string(frame.SourceInstallationNumber);
  if (const TPeer* peer = Current()) line += ",\"driver\":\"" + JsonEscape(peer->Name) + "\"";
  line += ",\"answer\":" + std::to_string(answer) + ",\"fields\":{";
  pugi::xml_document document;
  if (document.load_buffer(frame.Data.data(), frame.Data.size())) {
    bool first = true;
    AppendLeaves(document, line, first);
  }
  line += "}}\n";
  *json_out_ << line << std::flush;
}

// Standby: every connection is a peer; the one being served is swapped into
// client_ and input_, so that reading, answering and the test controls work
// on it as on the one connection of the plain simulator.
bool TKernelSimulator::ServePeers() {
  std::vector<pollfd> fds = {PollEntry(wake_.Fd(), POLLIN), PollEntry(tcp_listener_, POLLIN),
                             PollEntry(unix_listener_, POLLIN)};
  for (const TPeer& peer : peers_) fds.push_back(PollEntry(peer.Fd, POLLIN));
  if (Api().Poll(fds.data(), static_cast<nfds_t>(fds.size()), 100) < 0 && errno != EINTR) {
    return false;
  }
  if ((fds[0].revents & POLLIN) != 0) wake_.Drain();
  const size_t polled = peers_.size();
  if ((fds[1].revents & POLLIN) != 0) Accept(tcp_listener_);
  if ((fds[2].revents & POLLIN) != 0) Accept(unix_listener_);
  const auto serve = [this](size_t index, const std::function<void()>& work) {
    current_ = index;
    client_ = peers_[index].Fd;
    input_.swap(peers_[index].Input);
    work();
    input_.swap(peers_[index].Input);
    if (client_ < 0) peers_[index].Fd = -1;
    client_ = -1;
    current_ = peers_.size();
  };
  for (size_t i = 0; i < polled; ++i) {
    if (peers_[i].Fd >= 0 && (fds[3 + i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      serve(i, [this] { ReadClient(); });
    }
  }
  const auto now = std::chrono::steady_clock::now();
  const auto silence = std::chrono::milliseconds(options_.SilenceMs);
  for (size_t i = 0; i < peers_.size(); ++i) {
    TPeer& peer = peers_[i];
    if (peer.Fd < 0) continue;
    if (peer.Active) serve(i, [this] { FlushOutgoing(); });
    if (peer.Fd >= 0 && now - peer.LastHeard >= silence) {
      Api().Close(peer.Fd);
      peer.Fd = -1;
      peer.Silent = true;
    } else if (peer.Fd >= 0 && !peer.Probed && now - peer.LastHeard >= silence / 2) {
      peer.Probed = true;
      serve(i, [this] {
        TOrvanFrame probe;
        probe.FrameType = kEmptyRequest;
        probe.Direction = 1;
        probe.FrameGUID = NewGuid();
        SendFrame(std::move(probe));
      });
    }
  }
  if (std::none_of(peers_.begin(), peers_.end(), [](const TPeer& p) { return p.Active; })) {
    std::lock_guard<std::mutex> guard(mutex_);
    outgoing_.clear();  // the controls act on an active driver only
  }
  for (size_t i = peers_.size(); i-- > 0;) {
    if (peers_[i].Fd < 0) LosePeer(i);
  }
  ChooseActive();
  return true;
}

TKernelSimulator::TPeer* TKernelSimulator::Current() {
  return options_.Standby && client_ >= 0 && current_ < peers_.size() ? &peers_[current_] : nullptr;
}

void TKernelSimulator::RegisterPeer(const TOrvanFrame& registration) {
  TPeer& peer = peers_[current_];
  pugi::xml_document document;
  if (document.load_buffer(registration.Data.data(), registration.Data.size())) {
    peer.Name = document.document_element().child_value("Name");
  }
  peer.Module = registration.SourceModuleGUID;
  // The same driver on a new connection: the old one is dead.
  for (size_t i = 0; i < peers_.size(); ++i) {
    if (i != current_ && peers_[i].Fd >= 0 && peers_[i].Registered && peers_[i].Name == peer.Name) {
      Api().Close(peers_[i].Fd);
      peers_[i].Fd = -1;
    }
  }
  const auto known = std::find(names_.begin(), names_.end(), peer.Name);
  const size_t slot = static_cast<size_t>(known - names_.begin());
  if (known == names_.end()) names_.push_back(peer.Name);
  peer.Installation = static_cast<uint16_t>(options_.InstallationNumber + slot);
  if (!peer.Registered) peer.Order = ++registrations_;
  peer.Registered = true;
  peer.Announced = false;
}

void TKernelSimulator::LosePeer(size_t index) {
  TPeer peer = std::move(peers_[index]);
  peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(index));
  if (peer.Registered) SetPeerActive(peer, false, peer.Silent ? "silent" : "lost");
}

// Makes the best registered driver active when none is, and tells the others
// they are standby; the serving thread runs it after every round.
void TKernelSimulator::ChooseActive() {
  const auto live = [](const TPeer& p) { return p.Fd >= 0 && p.Registered; };
  const auto active = [](const TPeer& p) { return p.Active; };
  const auto& wanted = options_.Preference;
  const auto rank = [&wanted](const TPeer& p) {
    return std::find(wanted.begin(), wanted.end(), p.Name) - wanted.begin();
  };
  if (std::none_of(peers_.begin(), peers_.end(), active)) {
    if (!had_active_ && !wanted.empty() &&
        std::chrono::steady_clock::now() - started_ <
            std::chrono::milliseconds(options_.SilenceMs) &&
        std::none_of(peers_.begin(), peers_.end(),
                     [&](const TPeer& p) { return live(p) && rank(p) == 0; })) {
      return;  // at the start, the preferred driver may still come
    }
    TPeer* best = nullptr;
    for (TPeer& peer : peers_) {
      if (live(peer) && (best == nullptr || std::make_pair(rank(peer), peer.Order) <
                                                std::make_pair(rank(*best), best->Order))) {
        best = &peer;
      }
    }
    if (best == nullptr) return;
    SetPeerActive(*best, true, had_active_ ? "takeover" : "chosen");
    had_active_ = true;
    // At once, not at its next status report.
    TOrvanFrame status;
    status.FrameType = kStatus;
    status.Direction = 1;
    status.FrameGUID = NewGuid();
    status.DestinationModuleGUID = best->Module;
    status.DestinationInstallationNumber = best->Installation;
    status.Data = StatusAnswerDocument("Active");
    client_ = best->Fd;
    SendFrame(std::move(status));
    if (client_ < 0) best->Fd = -1;
    client_ = -1;
  }
  for (TPeer& peer : peers_) {
    if (live(peer) && !peer.Active && !peer.Announced) SetPeerActive(peer, false, "standby");
  }
}

void TKernelSimulator::SetPeerActive(TPeer& peer, bool active, const std::string& reason) {
  peer.Active = active;
  peer.Announced = true;
  TSimModeChange change{peer.Name, active, reason, std::chrono::steady_clock::now()};
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (active) {
      active_ = peer.Name;
    } else if (active_ == peer.Name && reason != "standby") {
      active_.clear();
    }
    mode_changes_.push_back(change);
  }
  changed_.notify_all();
  if (json_out_ == nullptr) return;
  const auto unix_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  *json_out_ << "{\"kind\":\"mode\",\"driver\":\"" + JsonEscape(peer.Name) +
                    "\",\"installation\":" + std::to_string(peer.Installation) +
                    ",\"active\":" + (active ? "true" : "false") + ",\"reason\":\"" + reason +
                    "\",\"time_ms\":" + std::to_string(unix_ms) + "}\n"
             << std::flush;
}

}  // namespace vd
