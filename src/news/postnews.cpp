#include "news/news.h"

int postnews() { return 1; }
