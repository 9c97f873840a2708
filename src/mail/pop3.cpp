#include "mail/mail.h"

int fetchemail() { return 1; }
