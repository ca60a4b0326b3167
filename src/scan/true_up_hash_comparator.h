#pragma once
// CTrueUpHashComparator: the merge join, on the extent id, of a volume's
// index hash table with its snapshot hash table. Every snapshot extent whose
// hash differs from the index's, or that the index lacks, gets its bit in
// the result bitmap. Both tables are in ascending extent order; an extent
// listed twice (a resumed read, a re-fetched index page) is judged again
// with the same outcome. Index entries without a snapshot entry have no
// effect.
//
// The tables are files another run wrote, so an extent id at or past the
// bitmap's bit count fails the pass (774) instead of writing past the
// bitmap, and a snapshot-table read failure fails it rather than passing
// for the end of the table, which would leave later extents unchecked.
#include "platform/error/qi_error.h"
#include "platform/hashing/extent_hash_table.h"

class CTrueUpHashComparator {
 public:
  // Nothing owned; the bitmap holds bitCount bits and is cleared by the
  // caller beforehand.
  CTrueUpHashComparator(IExtentHashTable* indexTable, IExtentHashTable* snapTable, unsigned char* bitmap,
                        unsigned long long bitCount);

  // Opens both tables for reading, the index table first.
  CQiError Initialize();
  CQiError Prepare();
  CQiError Compare();

  // Sets bit (n mod 8) of byte (n div 8); 774 for an n outside the bitmap.
  static CQiError SetNthBit(long long n, unsigned char* bitmap, unsigned long long bitCount);

 private:
  // Marks the snapshot item as changed and counts it.
  CQiError Mark(const ExtentHashItem& snapItem, bool indexExhausted);

  IExtentHashTable* m_pIndexTable;
  IExtentHashTable* m_pSnapTable;
  unsigned char* m_pBitmap;
  unsigned long long m_nBitCount;
  unsigned long long m_nMismatches = 0;
  bool m_bLogEach = false;
};
