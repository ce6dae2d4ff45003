#include "ops/control_socket.h"
