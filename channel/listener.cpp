#include "channel/listener.h"

namespace channel {

void startListener() {}

}  // namespace channel
