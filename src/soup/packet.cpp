#include "soup/soup.h"
