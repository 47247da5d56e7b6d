#pragma once

#include "support/TestHttpServer.h"

// Call first in the main of a suite that starts the browser engine: headless unless a platform
// is named, no sandbox (suites may run as root), software drawing, no host name beyond this
// machine resolves, and per-user folders in test mode, one per executable.
void prepareTestBrowserEngine();

// How long a page may take: the machine may be busy with other builds.
constexpr int PageLoadPatience = 30000;

// A page in UTF-8.
inline TestHttpServer::Route htmlRoute(const QByteArray &body, int status = 200)
{
    TestHttpServer::Route route;
    route.status = status;
    route.contentType = "text/html; charset=utf-8";
    route.body = body;
    return route;
}
