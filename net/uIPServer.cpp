#include "net/uIPServer.h"

#include <limits>

namespace {

// The servers count sizes in signed 32 bits; a larger size becomes a request that sends nothing.
std::int32_t ServerSize(std::uint32_t Size) {
  return Size > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())
             ? -1
             : static_cast<std::int32_t>(Size);
}

std::int32_t TextSize(const std::string& Text) {
  return Text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())
             ? -1
             : static_cast<std::int32_t>(Text.size());
}

// A size the TCP connections can take; a larger one is refused rather than turned into a probe.
bool FitsTCPSize(std::size_t Size) {
  return Size <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
}

}  // namespace

TTCPServerComponent::~TTCPServerComponent() {
  StopServer();
}

bool TTCPServerComponent::GetActive() const {
  return FServer != nullptr && !FServer->IsStopRequested();
}

void TTCPServerComponent::SetActive(bool Value) {
  if (Value == GetActive()) {
    return;
  }
  StopServer();
  if (Value) {
    FServer = FServerClass(FIPAddress, FOnReceive, FOnSend, FOnDisconnect, FOnConnect, FIPPort);
  }
}

void TTCPServerComponent::StopServer() {
  if (FServer) {
    FServer->Terminate();
    FServer->CloseListenSocket();  // wakes the blocked accept
    FServer->WaitFor();
    FLastServerError = FServer->FLastError();
    FServer.reset();
  }
}

bool TTCPServerComponent::ClientExists(std::uint16_t ClientIndex) {
  return FServer != nullptr && FServer->GetConnection(ClientIndex) != nullptr;
}

void TTCPServerComponent::SendBuffer(TIPConnection* Client, const void* Data, std::uint32_t Size) {
  if (Size != 0 && FitsTCPSize(Size) && FServer && Client != nullptr) {
    FServer->SendToConnection(*Client, Data, static_cast<std::int32_t>(Size));
  }
}

void TTCPServerComponent::SendBufferTo(std::uint16_t ClientIndex, const void* Data,
                                       std::uint32_t Size) {
  if (Size != 0 && FitsTCPSize(Size) && FServer) {
    FServer->SendToClient(ClientIndex, Data, static_cast<std::int32_t>(Size));
  }
}

void TTCPServerComponent::SendText(TIPConnection* Client, const std::string& Text) {
  if (!Text.empty() && FitsTCPSize(Text.size())) {
    SendBuffer(Client, Text.data(), static_cast<std::uint32_t>(Text.size()));
  }
}

void TTCPServerComponent::SendTextTo(std::uint16_t ClientIndex, const std::string& Text) {
  if (!Text.empty() && FitsTCPSize(Text.size())) {
    SendBufferTo(ClientIndex, Text.data(), static_cast<std::uint32_t>(Text.size()));
  }
}

void TTCPServerComponent::SendBufferToAddress(const std::string& /*Address*/,
                                              std::uint16_t /*Port*/, const void* /*Data*/,
                                              std::int32_t /*Size*/) {}

void TTCPServerComponent::SendBufferToAll(const void* Data, std::uint32_t Size) {
  if (Size == 0) {
    ProbeClients();
  } else if (FitsTCPSize(Size) && FServer) {
    FServer->SendToAll(Data, static_cast<std::int32_t>(Size));
  }
}

void TTCPServerComponent::SendTextToAll(const std::string& Text) {
  if (!Text.empty() && FitsTCPSize(Text.size()) && FServer) {
    FServer->SendToAll(Text.data(), static_cast<std::int32_t>(Text.size()));
  }
}

void TTCPServerComponent::DisconnectClient(std::uint16_t ClientIndex) {
  if (FServer) {
    FServer->WithConnection(ClientIndex,
                            [](TCustomTCPConnection& connection) { connection.RequestStop(); });
  }
}

int TTCPServerComponent::SetClientOption(std::uint16_t ClientIndex, int Level, int OptName,
                                         const void* OptVal, int OptLen) {
  int result = -2;
  if (FServer) {
    FServer->WithConnection(ClientIndex, [&](TCustomTCPConnection& connection) {
      result = connection.SetSocketOption(Level, OptName, OptVal, OptLen);
    });
  }
  return result;
}

bool TTCPServerComponent::WaitForStart(std::uint32_t Timeout, std::int32_t& ErrorCode) {
  ErrorCode = ErrorInvalidHandle;
  if (!FServer) {
    return false;
  }
  int code = ErrorInvalidHandle;
  const bool started = FServer->WaitForStart(Timeout, code);
  ErrorCode = code;
  return started;
}

void TTCPServerComponent::ProbeClients() {
  if (FServer) {
    FServer->SendToAll(nullptr, 0);
  }
}

std::int32_t TTCPServerComponent::ServerErrorCode() const {
  return FServer ? FServer->FLastError() : FLastServerError;
}

void TTCPServerComponent::SetServerClass(TTCPServerClass ServerClass) {
  if (ServerClass != nullptr) {
    FServerClass = ServerClass;
  }
}

std::uint16_t TTCPServerComponent::BoundPort() const {
  return FServer ? FServer->BoundPort() : 0;
}

TUDPServerComponent::~TUDPServerComponent() {
  StopServer();
}

bool TUDPServerComponent::GetActive() const {
  return FServer != nullptr && !FServer->Terminated();
}

void TUDPServerComponent::SetActive(bool Value) {
  if (Value == GetActive()) {
    return;
  }
  StopServer();
  if (Value) {
    FServer =
        std::make_unique<tUDPServer>(FIPAddress, FOnReceive, FOnSend, FOnDisconnect, FOnConnect,
                                     FIPPort, FReceiveBufferSize, FOnReceiveBatchEnd);
  }
}

void TUDPServerComponent::StopServer() {
  if (FServer) {
    FServer->Terminate();
    FServer->WaitFor();
    FServer.reset();
  }
}

bool TUDPServerComponent::ClientExists(std::uint16_t ClientIndex) {
  return FServer != nullptr && !FServer->GetClientText(ClientIndex).empty();
}

void TUDPServerComponent::SendBuffer(TIPConnection* Client, const void* Data, std::uint32_t Size) {
  // Through the server that raised the event, which need not be this component's current one.
  if (auto* server = dynamic_cast<tUDPServer*>(Client)) {
    server->SendToClient(server->EventClientIndex(), Data, ServerSize(Size));
  }
}

void TUDPServerComponent::SendBufferTo(std::uint16_t ClientIndex, const void* Data,
                                       std::uint32_t Size) {
  if (FServer) {
    FServer->SendToClient(ClientIndex, Data, ServerSize(Size));
  }
}

void TUDPServerComponent::SendText(TIPConnection* Client, const std::string& Text) {
  if (Client != nullptr && !Text.empty()) {
    SendBuffer(Client, Text.data(), static_cast<std::uint32_t>(TextSize(Text)));
  }
}

void TUDPServerComponent::SendTextTo(std::uint16_t ClientIndex, const std::string& Text) {
  if (FServer && !Text.empty()) {
    FServer->SendToClient(ClientIndex, Text.data(), TextSize(Text));
  }
}

void TUDPServerComponent::SendBufferToAddress(const std::string& Address, std::uint16_t Port,
                                              const void* Data, std::int32_t Size) {
  if (FServer) {
    FServer->SendToAddress(Address, Port, Data, Size);
  }
}

void TUDPServerComponent::SendBufferToAll(const void* Data, std::uint32_t Size) {
  if (FServer) {
    FServer->SendToAll(Data, ServerSize(Size));
  }
}

void TUDPServerComponent::SendTextToAll(const std::string& Text) {
  if (FServer && !Text.empty()) {
    FServer->SendToAll(Text.data(), TextSize(Text));
  }
}

void TUDPServerComponent::DisconnectClient(std::uint16_t ClientIndex) {
  if (FServer) {
    FServer->DisconnectClient(ClientIndex);
  }
}

int TUDPServerComponent::SetClientOption(std::uint16_t /*ClientIndex*/, int Level, int OptName,
                                         const void* OptVal, int OptLen) {
  return FServer ? FServer->SetSocketOption(Level, OptName, OptVal, OptLen) : -1;
}

bool TUDPServerComponent::WaitForStart(std::uint32_t Timeout, std::int32_t& ErrorCode) {
  ErrorCode = ErrorInvalidHandle;
  return FServer != nullptr && FServer->WaitForStart(Timeout, ErrorCode);
}

std::uint16_t TUDPServerComponent::BoundPort() const {
  return FServer ? FServer->BoundPort() : 0;
}
