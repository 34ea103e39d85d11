#pragma once
// The publisher's keys compiled into a program: the updater, and the main application that
// fetches with <vintrel/fetch.h> (this header installs beside it). The definition of
// CompiledDeliveryKeys() is generated from PEM files by vintrel_add_delivery_keys_library
// (cmake/Vintrel_CommonDeliveryKeys.cmake), in a library of its own, so that one build can link
// a second program with other keys.

#include <cstddef>
#include <cstdint>

// An ECDSA P-256 public key: the point's X then Y, each 32 bytes big-endian.
struct DeliveryPublicKey {
  std::uint8_t xy[64];
};

struct DeliveryKeySet {
  const DeliveryPublicKey* keys;
  std::size_t count;  // 0: this build takes deliveries without a signature
};

// The keys of this build: a delivery needs a signature that one of them verifies (a current and
// a next key, so that the publisher can move to the next without a flag day).
DeliveryKeySet CompiledDeliveryKeys();
