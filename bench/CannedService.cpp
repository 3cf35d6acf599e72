// A serving side that answers "devices_id" from the sample installation held
// in memory, with no store and no sessions: the peer of the Python benchmark
// that measures what the client and the transport cost, as the echo peers of
// the plain transports do. Prints "listening on 127.0.0.1:PORT" and serves
// until its standard input closes.
#include <cstdio>
#include <iostream>
#include <string>

#include "BenchRecords.h"
#include "DataServiceStub.h"
#include "ServingHandler.h"

using namespace DataServiceNamespace;

int main() {
    ActionServingHandler<RecvResponseCallbackdevices_id> handler{&bench::fillDeviceAnswer};
    DataServiceStub server{DS_DEFINITION_FILE};
    server.registerHandler(Action<RecvResponseCallbackdevices_id>::methodId, &handler, nullptr);
    if (server.startListening("127.0.0.1", 0) != 1) {
        std::fprintf(stderr, "canned service: cannot listen on 127.0.0.1\n");
        return 1;
    }
    std::printf("listening on 127.0.0.1:%d\n", server.listeningPort());
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
}
