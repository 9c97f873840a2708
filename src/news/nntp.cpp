#include "news/news.h"
