#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "net/uIPServerHeader.h"
#include "net/uTCPServer.h"
#include "net/uUDPServer.h"

// The component through which the main control configures, switches on and off, and reaches
// either transport. It creates, owns and destroys the server thread that does the network work.
//
// Threads: the properties, Active and destruction belong to the one thread that owns the
// component (the main control's). The send operations, ClientExists, SetClientOption and
// WaitForStart may also be called from other threads, handlers included, but never while the
// owner switches Active or destroys the component.
//
// Handlers run on the server's own threads, never on the caller's; they are copied into the
// server when it is created, so a handler changed while Active reaches the server only after
// Active has been set False and True again. Sends never report whether data went out: that
// comes back through OnSend and OnDisconnect.
//
// WaitForStart's codes are Windows error numbers on every platform: 6 (ERROR_INVALID_HANDLE)
// when there is no server, 1460 (ERROR_TIMEOUT) when the server recorded no error; otherwise the
// server's own last error, a platform code (errno on POSIX, e.g. the bind's EADDRINUSE).
class TIPServerComponent {
 public:
  static constexpr std::int32_t ErrorInvalidHandle = 6;
  static constexpr std::int32_t ErrorTimeout = 1460;

  TIPServerComponent() = default;
  virtual ~TIPServerComponent() = default;
  TIPServerComponent(const TIPServerComponent&) = delete;
  TIPServerComponent& operator=(const TIPServerComponent&) = delete;

  // True while the component holds a server whose stop it has not requested, also when that
  // server has failed by itself (bind error and the like). Owner thread.
  virtual bool GetActive() const = 0;
  // True creates and starts a server unless one is active; False stops the server and returns
  // once its thread has ended. Setting the current value does nothing. Owner thread.
  virtual void SetActive(bool Value) = 0;

  // Address (dotted IPv4 text; "0.0.0.0" binds all interfaces) and port for the next server
  // created; a running server keeps its own. Owner thread.
  const std::string& IPAddress() const { return FIPAddress; }
  virtual void SetIPAddress(const std::string& Value) { FIPAddress = Value; }
  std::uint16_t IPPort() const { return FIPPort; }
  virtual void SetIPPort(std::uint16_t Value) { FIPPort = Value; }

  // Handlers for the next server created; an empty one is not called. Owner thread.
  const tNotifyDataTCPEvent& OnReceive() const { return FOnReceive; }
  void SetOnReceive(tNotifyDataTCPEvent Handler) { FOnReceive = std::move(Handler); }
  const tNotifyDataTCPEvent& OnSend() const { return FOnSend; }
  void SetOnSend(tNotifyDataTCPEvent Handler) { FOnSend = std::move(Handler); }
  const tNotifyTCPEvent& OnDisconnect() const { return FOnDisconnect; }
  void SetOnDisconnect(tNotifyTCPEvent Handler) { FOnDisconnect = std::move(Handler); }
  const tNotifyTCPEvent& OnConnect() const { return FOnConnect; }
  void SetOnConnect(tNotifyTCPEvent Handler) { FOnConnect = std::move(Handler); }

  // Whether the server knows a client with this index. False without a server.
  virtual bool ClientExists(std::uint16_t ClientIndex) = 0;
  // To the client that Client stands for (the object a handler was given). Null: nothing.
  virtual void SendBuffer(TIPConnection* Client, const void* Data, std::uint32_t Size) = 0;
  virtual void SendBufferTo(std::uint16_t ClientIndex, const void* Data, std::uint32_t Size) = 0;
  // The characters of Text, without a terminator; an empty Text sends nothing.
  virtual void SendText(TIPConnection* Client, const std::string& Text) = 0;
  virtual void SendTextTo(std::uint16_t ClientIndex, const std::string& Text) = 0;
  virtual void SendBufferToAddress(const std::string& Address, std::uint16_t Port, const void* Data,
                                   std::int32_t Size) = 0;
  virtual void SendBufferToAll(const void* Data, std::uint32_t Size) = 0;
  virtual void SendTextToAll(const std::string& Text) = 0;
  virtual void DisconnectClient(std::uint16_t ClientIndex) = 0;
  // setsockopt on a client's socket: 0 or -1; the variants define the other results.
  virtual int SetClientOption(std::uint16_t ClientIndex, int Level, int OptName, const void* OptVal,
                              int OptLen) = 0;
  // Waits up to Timeout ms for the server to run; see the codes above.
  virtual bool WaitForStart(std::uint32_t Timeout, std::int32_t& ErrorCode) = 0;

 protected:
  std::string FIPAddress;
  std::uint16_t FIPPort = 0;
  tNotifyDataTCPEvent FOnReceive;
  tNotifyDataTCPEvent FOnSend;
  tNotifyTCPEvent FOnDisconnect;
  tNotifyTCPEvent FOnConnect;
};

// The TCP variant: owns one listener of the class chosen by SetServerClass (TSimpleTCPServer
// at first). A client index is a listener's connection number; Client is a connection object.
class TTCPServerComponent final : public TIPServerComponent {
 public:
  TTCPServerComponent() = default;
  ~TTCPServerComponent() override;

  bool GetActive() const override;
  void SetActive(bool Value) override;

  // TIPServerComponent operations
  bool ClientExists(std::uint16_t ClientIndex) override;
  // Only while that connection is still in the listener's table.
  void SendBuffer(TIPConnection* Client, const void* Data, std::uint32_t Size) override;
  void SendBufferTo(std::uint16_t ClientIndex, const void* Data, std::uint32_t Size) override;
  void SendText(TIPConnection* Client, const std::string& Text) override;
  void SendTextTo(std::uint16_t ClientIndex, const std::string& Text) override;
  // Does nothing: TCP has no sending to an address.
  void SendBufferToAddress(const std::string& Address, std::uint16_t Port, const void* Data,
                           std::int32_t Size) override;
  // Size 0 probes every client (ProbeClients).
  void SendBufferToAll(const void* Data, std::uint32_t Size) override;
  void SendTextToAll(const std::string& Text) override;
  // Tells the connection thread to stop; it closes its socket and raises no OnDisconnect, and
  // its number stays taken until the listener stops.
  void DisconnectClient(std::uint16_t ClientIndex) override;
  // The connection's setsockopt: 0 or -1; -2 without such a connection or without a server.
  int SetClientOption(std::uint16_t ClientIndex, int Level, int OptName, const void* OptVal,
                      int OptLen) override;
  bool WaitForStart(std::uint32_t Timeout, std::int32_t& ErrorCode) override;

  // Queues an empty write on every connection (over TPKT the header-only frame 03 00 00 04),
  // so that dead connections are found. Nothing without a server. Owner thread, or any thread
  // while Active is not being switched.
  void ProbeClients();
  // The listener's last error (0 while bound). Without a server: the last error of the listener
  // held last, 0 when there was none. Owner thread.
  std::int32_t ServerErrorCode() const;
  // The listener class for the next creation; null is ignored. Owner thread.
  void SetServerClass(TTCPServerClass ServerClass);
  // The port the running listener is bound to (for IPPort 0); 0 when not listening.
  std::uint16_t BoundPort() const;

 private:
  void StopServer();

  std::unique_ptr<TCustomTCPServer> FServer;
  TTCPServerClass FServerClass = &TSimpleTCPServer::Create;
  std::int32_t FLastServerError = 0;
};

// The UDP variant: owns one tUDPServer. A client index is a slot of the server's peer table.
// The sends only queue a request that the server thread carries out later.
class TUDPServerComponent final : public TIPServerComponent {
 public:
  TUDPServerComponent() = default;
  ~TUDPServerComponent() override;

  bool GetActive() const override;
  void SetActive(bool Value) override;

  // TIPServerComponent operations
  bool ClientExists(std::uint16_t ClientIndex) override;
  // Client must be a tUDPServer that raised an event: to the peer of its latest event.
  void SendBuffer(TIPConnection* Client, const void* Data, std::uint32_t Size) override;
  void SendBufferTo(std::uint16_t ClientIndex, const void* Data, std::uint32_t Size) override;
  void SendText(TIPConnection* Client, const std::string& Text) override;
  void SendTextTo(std::uint16_t ClientIndex, const std::string& Text) override;
  void SendBufferToAddress(const std::string& Address, std::uint16_t Port, const void* Data,
                           std::int32_t Size) override;
  void SendBufferToAll(const void* Data, std::uint32_t Size) override;
  void SendTextToAll(const std::string& Text) override;
  void DisconnectClient(std::uint16_t ClientIndex) override;
  // The server's own socket option, whatever ClientIndex: -1 without a server.
  int SetClientOption(std::uint16_t ClientIndex, int Level, int OptName, const void* OptVal,
                      int OptLen) override;
  bool WaitForStart(std::uint32_t Timeout, std::int32_t& ErrorCode) override;

  // Socket receive buffer in bytes asked for when the next server binds, so that bursts fit;
  // 0 (the initial value) keeps the system's default. Owner thread.
  int ReceiveBufferSize() const { return FReceiveBufferSize; }
  void SetReceiveBufferSize(int Bytes) { FReceiveBufferSize = Bytes; }
  // The port the running server is bound to (for IPPort 0); 0 without a bound server.
  std::uint16_t BoundPort() const;
  // Raised by the next server after the OnReceive events of each receive call, so that a
  // handler gathering datagrams can hand them on together; none (the initial value) raises
  // nothing. Owner thread.
  void SetOnReceiveBatchEnd(tNotifyTCPEvent Handler) { FOnReceiveBatchEnd = std::move(Handler); }

 private:
  void StopServer();

  std::unique_ptr<tUDPServer> FServer;
  int FReceiveBufferSize = 0;
  tNotifyTCPEvent FOnReceiveBatchEnd;
};
