#include "ops/http_server.h"
