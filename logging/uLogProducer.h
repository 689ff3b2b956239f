#pragma once

#include <string>
#include <string_view>

#include "platform/TThread.h"
#include "platform/uDateTime.h"

// The base of every log producer: the identity of one log stream (who sent its records and where
// they are stored) and one entry point, AddMessage, that accepts one line.
//
// A producer is a thread object. Owners end it in three steps, the only way producers are ended:
// Stop(), WaitFor(), destroy.
class TCustomLogProducer : public TThread {
 public:
  ~TCustomLogProducer() override;

  // Whether lines can be delivered now. The caller's thread.
  virtual bool IsOpen() const { return true; }

  // Asks the producer's thread to end. The owner's thread.
  virtual void Stop() { Terminate(); }

  // Delivers one line. clientTime is the sender's stamp (0 for none), serverTime the server's
  // local time at which the line was handed over. Never reports an error. The owner's thread.
  virtual void AddMessage(std::string_view text, TDateTime clientTime, TDateTime serverTime);

  // The stream's identity, fixed at construction; any thread may read it.
  const std::string LibraryPath;
  const std::string BaseCatalog;
  const std::string PeerAddress;
  const std::string PeerPort;
  const std::string ApplicationName;
  const std::string ModuleName;
  const std::string FilePrefix;

 protected:
  // Stores the seven texts; the thread is created suspended. A concrete producer starts it (or
  // not, when it has nothing to run) as the last step of its own constructor.
  TCustomLogProducer(std::string baseCatalog, std::string peerAddress, std::string peerPort,
                     std::string applicationName, std::string moduleName, std::string filePrefix,
                     std::string libraryPath);

  // The base body has nothing to do: it marks the thread as asked to stop and returns.
  void Execute() override { Terminate(); }
};
