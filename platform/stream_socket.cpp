#include "platform/stream_socket.h"

namespace turnpike {

StreamConnection::~StreamConnection() = default;
StreamConnector::~StreamConnector() = default;

}  // namespace turnpike
