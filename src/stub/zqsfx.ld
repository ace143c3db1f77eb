/* Section layout of the Windows stub. The default layout gives code,
   constants, imports, zero data, resources and relocations a section each;
   every section with contents is padded to 512 bytes in the file, and the
   section headers push the file's headers past 512 bytes too. Here all that
   the file holds travels in the code's read-only section: one header page
   and one section's padding. The resources and the relocations are read
   through their directories, wherever they lie; the linker fills those only
   from sections of their names, so FinishImage.cmake fills them after the
   link from the symbols around them below. The import lookup tables come
   last, so that it can cut them off (the loader then reads the names from
   the import address table).

   Imports in a read-only section are what the Windows loader expects of any
   program whose import address table sits among its constants: it opens the
   table (the import address table directory) for writing while it binds the
   imports. The linker fills the import directory from the symbols
   ".idata$2" and ".idata$4"; with the tables outside a section of that name
   it cannot find them, so they are given here, as offsets from the image
   base, the form that directory holds; ".idata$4" marks the end of the
   descriptors, which is all the directory's size counts. */
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
    . = ALIGN(4);
    __zq_resources = ABSOLUTE(. - __image_base__);
    KEEP (*(.rsrc))
    KEEP (*(SORT(.rsrc$*)))
    __zq_resources_end = ABSOLUTE(. - __image_base__);
    . = ALIGN(4);
    __zq_relocations = ABSOLUTE(. - __image_base__);
    *(.reloc)
    __zq_relocations_end = ABSOLUTE(. - __image_base__);
    __zq_lookup_tables = ABSOLUTE(. - __image_base__);
    KEEP (SORT(*)(.idata$4))
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
  /DISCARD/ :
  {
    *(.drectve)
    *(.note.GNU-stack)
    *(.gnu.lto_*)
    *(.idata$7)
  }
}
