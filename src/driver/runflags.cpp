#include "driver/driver.h"

int transfer[4] = {0, 0, 0, 0};
int testmode = 0;
int verbose = 0;
int listnews = 0;
char listfilename[4096] = "";
unsigned int listyear = 0, listmonth = 0, listday = 0, listhour = 0, listmin = 0, listsec = 0;
int killreplies = 0;

const char osstr[] = "Linux";
