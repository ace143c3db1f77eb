/* Section layout of the Windows stub. The default layout gives code,
   constants, imports, zero data and relocations a section each; every
   section with contents is padded to 512 bytes in the file, and five section
   headers push the file's headers past 512 bytes too. Here the constants and
   the import tables travel in the code's read-only section, so the file holds
   one header page, the code, the resources and the relocations (about a page
   less of padding, and a header page less).

   Imports in a read-only section are what the Windows loader expects of any
   program whose import address table sits among its constants: it opens the
   table (the import address table directory) for writing while it binds the
   imports. The linker fills the import directory from the symbols
   ".idata$2" and ".idata$4"; with the tables outside a section of that name
   it cannot find them, so they are given here, as offsets from the image
   base, the form that directory holds. */
SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + (__section_alignment__ < 0x1000 ? . : __section_alignment__) :
  {
    *(.text)
    *(SORT(.text$*))
    *(.text.*)
    *(.rdata)
    *(SORT(.rdata$*))
    ".idata$2" = ABSOLUTE(. - __image_base__);
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    /* The import descriptors end with an empty one. */
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    ".idata$4" = ABSOLUTE(. - __image_base__);
    KEEP (SORT(*)(.idata$4))
    __IAT_start__ = .;
    ".idata$5" = ABSOLUTE(. - __image_base__);
    KEEP (SORT(*)(.idata$5))
    __IAT_end__ = .;
    ".idata$6" = ABSOLUTE(. - __image_base__);
    KEEP (SORT(*)(.idata$6))
    /* Each library's name, which its descriptor refers to. The member of
       each import (libkernel32s00135.o and so on) also brings a word of
       .idata$7 that refers to its library's descriptor, there only to draw
       the descriptor into the link. Nothing refers to those words, so they
       are discarded below (4 bytes an import). */
    KEEP (SORT(*)(EXCLUDE_FILE (*s[0-9][0-9][0-9][0-9][0-9].o) .idata$7))
  }
  /* The stub keeps no initialised data that changes; should some appear, it
     gets a section of its own (and the size check notices the cost). */
  .data BLOCK(__section_alignment__) :
  {
    *(.data)
    *(SORT(.data$*))
  }
  .bss BLOCK(__section_alignment__) :
  {
    *(.bss)
    *(SORT(.bss$*))
    *(COMMON)
  }
  /* Nothing refers to the resources, so they are kept by name. */
  .rsrc BLOCK(__section_alignment__) :
  {
    KEEP (*(.rsrc))
    KEEP (*(SORT(.rsrc$*)))
  }
  .reloc BLOCK(__section_alignment__) :
  {
    *(.reloc)
  }
  /DISCARD/ :
  {
    *(.drectve)
    *(.note.GNU-stack)
    *(.gnu.lto_*)
    *(.idata$7)
  }
}
