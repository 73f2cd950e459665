// Basic integer and text types shared by every layer of the runtime kernel.
#ifndef KERNEL_OSTYPES_H_
#define KERNEL_OSTYPES_H_

#include <cstdint>

typedef uint8_t UBYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int BOOL;
typedef char TEXT;
typedef int HANDLE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#endif  // KERNEL_OSTYPES_H_
