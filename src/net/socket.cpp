#include "net/socket.h"
