// The mail phases: POP3 fetch and SMTP post.
#ifndef VORPA_MAIL_H
#define VORPA_MAIL_H

#include <string>

class Socket;

int fetchemail();
// quiet: a negative answer is not reported (its line stays in pszBuf).
int getpopanswer(Socket& sock, int quiet = 0);

int postemail();
int getsmtpanswer(Socket& sock, int quiet);
// The same; text, when given, receives the text of every reply line after
// its code, one line each (the keywords of an EHLO reply).
int getsmtpreply(Socket& sock, int quiet, std::string* text);

// Envelope addresses of the message being posted.
extern char* fromemail;
extern char* emaillist[500];
extern int emailcount;

void processemail(char* text, int isfrom);
int isdelimiter(int c);

#endif
