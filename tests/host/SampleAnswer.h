// The answer of the sample serving program, shared with the tests that check
// it: the response filled with sampleFill(response, 1), then, when the
// request has a header, error.request_data set to that header. The Python
// tests reproduce the same rule.
#pragma once

#include <type_traits>

#include "ActionTable.h"
#include "SampleRecords.h"

namespace DataServiceNamespace::testing {

template <class Record, class = void> struct HasRequestHeader : std::false_type {};
template <class Record>
struct HasRequestHeader<Record, std::void_t<decltype(std::declval<Record &>().request_data)>>
    : std::true_type {};

template <class Callback>
void sampleAnswer(const typename Action<Callback>::Request &request,
                  typename Action<Callback>::Response &response) {
    sampleFill(response, 1);
    if constexpr (HasRequestHeader<typename Action<Callback>::Request>::value)
        response.error.request_data = request.request_data;
}

} // namespace DataServiceNamespace::testing
