// Receive rate of recvLabelChangeMsg against a plain libzmq receive loop, both
// fed by the same publisher on an endpoint of its own: two-frame messages,
// a short topic and a 64-byte payload. The publisher waits when the pipe is
// full instead of dropping, so both readers always find traffic waiting.
#include <zorv/labelmgr.hpp>

#include <benchmark/benchmark.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

#include <unistd.h>

#include "scratch_endpoint.h"
#include "ratio.h"

namespace {

// The library's subscribers take it from the environment, as from the service.
const zorvtest::ScratchEndpoint scratchEndpoint;
const std::string endpointText = scratchEndpoint.endpoint();
const char* const kEndpoint = endpointText.c_str();
const std::string kTopic = "label.change";
const std::string kPayload(64, 'p');
constexpr int kWarmup = 2000;

class Publisher {
public:
    Publisher() : context_(zmq_ctx_new()), socket_(zmq_socket(context_, ZMQ_XPUB)) {
        int on = 1;
        int timeoutMs = 100;
        int linger = 0;
        zmq_setsockopt(socket_, ZMQ_XPUB_NODROP, &on, sizeof on);
        zmq_setsockopt(socket_, ZMQ_SNDTIMEO, &timeoutMs, sizeof timeoutMs);
        zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger);
        if (zmq_bind(socket_, kEndpoint) != 0) {
            std::fprintf(stderr, "cannot bind %s: %s\n", kEndpoint, zmq_strerror(zmq_errno()));
            std::exit(1);
        }
        thread_ = std::thread([this] { run(); });
    }
    ~Publisher() {
        stop_ = true;
        thread_.join();
        zmq_close(socket_);
        zmq_ctx_term(context_);
    }

private:
    void run() {
        while (!stop_) {
            // A timed-out send (full pipe) just tries again with the same message.
            if (zmq_send(socket_, kTopic.data(), kTopic.size(), ZMQ_SNDMORE) < 0) continue;
            while (zmq_send(socket_, kPayload.data(), kPayload.size(), 0) < 0 && !stop_) {
            }
        }
    }

    void* context_;
    void* socket_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void receiveWithLibrary(void* handle) {
    char* msg = nullptr;
    if (recvLabelChangeMsg(handle, &msg) != 0) std::abort();
    benchmark::DoNotOptimize(msg[0]);
    std::free(msg);
}

void BM_RecvLabelChangeMsg(benchmark::State& state) {
    Publisher publisher;
    void* handle = createSubscriber();
    if (subscribeLabelChangeMsg(handle, kTopic) != 0) std::abort();
    for (int i = 0; i < kWarmup; ++i) receiveWithLibrary(handle);
    for (auto _ : state) receiveWithLibrary(handle);
    state.SetItemsProcessed(state.iterations());
    destroySubscriber(handle);
}

// The baseline: what a caller would write on libzmq alone, reusing two
// message objects and reading the payload in place.
struct RawSubscriber {
    void* context = zmq_ctx_new();
    void* socket = zmq_socket(context, ZMQ_SUB);
    zmq_msg_t topic;
    zmq_msg_t payload;
    RawSubscriber() {
        zmq_msg_init(&topic);
        zmq_msg_init(&payload);
        zmq_connect(socket, kEndpoint);
        zmq_setsockopt(socket, ZMQ_SUBSCRIBE, kTopic.data(), kTopic.size());
    }
    ~RawSubscriber() {
        zmq_msg_close(&topic);
        zmq_msg_close(&payload);
        zmq_close(socket);
        zmq_ctx_term(context);
    }
    void receive() {
        if (zmq_msg_recv(&topic, socket, 0) < 0 || zmq_msg_recv(&payload, socket, 0) < 0) std::abort();
        benchmark::DoNotOptimize(static_cast<char*>(zmq_msg_data(&payload))[0]);
    }
};

void BM_RawLibzmqReceive(benchmark::State& state) {
    Publisher publisher;
    RawSubscriber subscriber;
    for (int i = 0; i < kWarmup; ++i) subscriber.receive();
    for (auto _ : state) subscriber.receive();
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RawLibzmqReceive)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_RecvLabelChangeMsg)->MinTime(1.0)->UseRealTime();

// Drain variant: the publisher queues a batch while the clock is stopped, and
// only the reading of messages already waiting is timed. This isolates what
// the receive call itself costs.
// Half the subscriber's high-water mark, so that a whole batch fits in its queue.
constexpr int kBatch = 500;

struct BatchPublisher {
    void* context = zmq_ctx_new();
    void* socket = zmq_socket(context, ZMQ_PUB);
    BatchPublisher() {
        int unlimited = 0;  // never drop: a lost message would leave a reader waiting
        zmq_setsockopt(socket, ZMQ_SNDHWM, &unlimited, sizeof unlimited);
        zmq_bind(socket, kEndpoint);
    }
    ~BatchPublisher() {
        zmq_close(socket);
        zmq_ctx_term(context);
    }
    // Publishes `count` messages, then gives the I/O threads time to move
    // them into the subscriber's queue.
    void queue(int count) {
        for (int i = 0; i < count; ++i) {
            zmq_send(socket, kTopic.data(), kTopic.size(), ZMQ_SNDMORE);
            zmq_send(socket, kPayload.data(), kPayload.size(), 0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
};

// Times the reading of queued batches with `receive`, after one message has
// shown that the subscription reached the publisher.
template <typename Receive>
void drain(benchmark::State& state, BatchPublisher& publisher, Receive receive) {
    std::atomic<bool> through{false};
    std::thread warmup([&] {
        while (!through) publisher.queue(1);
    });
    receive();
    through = true;
    warmup.join();
    for (auto _ : state) {
        publisher.queue(kBatch);
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kBatch; ++i) receive();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_DrainRecvLabelChangeMsg(benchmark::State& state) {
    BatchPublisher publisher;
    void* handle = createSubscriber();
    if (subscribeLabelChangeMsg(handle, kTopic) != 0) std::abort();
    drain(state, publisher, [handle] { receiveWithLibrary(handle); });
    destroySubscriber(handle);
}

void BM_DrainRawLibzmqReceive(benchmark::State& state) {
    BatchPublisher publisher;
    RawSubscriber subscriber;
    drain(state, publisher, [&subscriber] { subscriber.receive(); });
}

BENCHMARK(BM_DrainRawLibzmqReceive)->UseManualTime();
BENCHMARK(BM_DrainRecvLabelChangeMsg)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
    using zorvbench::Measure;
    using zorvbench::Ratio;
    int rc = zorvbench::runWithRatios(argc, argv, {
        Ratio{"streaming: recvLabelChangeMsg / raw libzmq message rate", "BM_RecvLabelChangeMsg",
              "BM_RawLibzmqReceive", 0.8, Measure::Rate},
        Ratio{"queued: recvLabelChangeMsg / raw libzmq message rate", "BM_DrainRecvLabelChangeMsg",
              "BM_DrainRawLibzmqReceive", 0.8, Measure::Rate},
    });
    return rc;
}
