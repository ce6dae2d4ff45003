#include "wire/dns_name_context.h"
