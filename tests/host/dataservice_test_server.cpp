// A sample data service for end-to-end tests: answers all 22 actions with
// sample records on a free loopback port until its standard input closes.
//
// Usage: dataservice_test_server <definition-file>
// Prints "PORT <n>\n" once it listens; exits 0 at end of input.
#include <cstdio>
#include <memory>
#include <type_traits>
#include <vector>

#include "DataServiceStub.h"
#include "SampleAnswer.h"
#include "ServingHandler.h"

using namespace DataServiceNamespace;

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dataservice_test_server <definition-file>\n");
        return 2;
    }
    if (std::FILE *definition = std::fopen(argv[1], "rb")) {
        std::fclose(definition);
    } else {
        std::fprintf(stderr, "dataservice_test_server: cannot read %s\n", argv[1]);
        return 2;
    }

    // Declared before the stub so that they outlive its channels.
    std::vector<std::unique_ptr<ServingHandler>> handlers;
    DataServiceStub stub(argv[1]);
    forEachAction([&](auto *tag) {
        using Callback = std::remove_pointer_t<decltype(tag)>;
        handlers.push_back(
            std::make_unique<ActionServingHandler<Callback>>(&testing::sampleAnswer<Callback>));
        stub.registerHandler(Action<Callback>::methodId, handlers.back().get(), nullptr);
    });
    if (stub.startListening(0) != 1) {
        std::fprintf(stderr, "dataservice_test_server: cannot listen on %s\n", stub.host.c_str());
        return 1;
    }
    std::printf("PORT %d\n", stub.listeningPort());
    std::fflush(stdout);

    char chunk[256];
    while (std::fread(chunk, 1, sizeof chunk, stdin) > 0) {
    }
    stub.stopListening();
    return 0;
}
