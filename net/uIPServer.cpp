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

}  // namespace

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
    FServer = std::make_unique<tUDPServer>(FIPAddress, FOnReceive, FOnSend, FOnDisconnect,
                                           FOnConnect, FIPPort, FReceiveBufferSize);
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
