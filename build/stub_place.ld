/* Places the section of the build constants and the block after every section the linker
   makes, so that the packer can grow it and append the resources behind it. */
SECTIONS
{
  .veldra BLOCK(__section_alignment__) : { KEEP(*(.veldra)) }
}
INSERT AFTER .reloc;
