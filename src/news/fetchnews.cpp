#include "news/news.h"

int fetchnews() { return 1; }
