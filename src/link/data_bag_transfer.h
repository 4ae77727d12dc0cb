#pragma once
// Data-bag numbering shared by the transfer, the mapping and the packet exchange.
//
// Every data bag has a number 58..124 inside the library (its command kind and reply
// flag) and an index 1..25 on the wire; the host names the same section by its packet
// number 1..25.

namespace kestro {

// Wire index of a bag number; 0 for a number that carries no data bag.
int dataBagIndex(int bag);

}  // namespace kestro
