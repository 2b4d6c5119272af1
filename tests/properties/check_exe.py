#!/usr/bin/python3
"""Checks what the built brolendavir.exe is without running it: its PE headers, its imports, its
size, its manifest, its version record and its icon group.

    check_exe.py EXE EPOCH ICO

EPOCH is the SOURCE_DATE_EPOCH the build linked with; ICO is the icon file the resources embed.
Every failed check is printed with the field it concerns, and the exit status is 1 if any failed.
"""
import os
import pathlib
import struct
import sys
import xml.etree.ElementTree as ElementTree

import pefile

MAX_SIZE = 24 * 1024
# ASLR, DEP, and terminal-server aware (no per-session compatibility shims).
DLL_CHARACTERISTICS = {'IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE', 'IMAGE_DLLCHARACTERISTICS_NX_COMPAT',
                       'IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE'}
SUBSYSTEM_VERSION = (6, 0)  # Windows Vista: the oldest system whose calls the program makes
# What the manifest must say: run as the invoking user (no virtualization, no installer detection),
# made for Windows Vista to 10/11, and long paths where the system allows them.
ASM_V3 = '{urn:schemas-microsoft-com:asm.v3}'
COMPATIBILITY = '{urn:schemas-microsoft-com:compatibility.v1}'
WINDOWS_SETTINGS = '{http://schemas.microsoft.com/SMI/2016/WindowsSettings}'
SUPPORTED_OS = {
    '{e2011457-1546-43c5-a5fe-008deee3d3f0}',  # Vista
    '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',  # 7
    '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}',  # 8
    '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',  # 8.1
    '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}',  # 10 and 11
}
# The system DLLs the program may use; the C++ runtime and threading are linked in statically.
ALLOWED_DLLS = {'kernel32.dll', 'user32.dll', 'ole32.dll', 'oleaut32.dll', 'msvcrt.dll'}

VERSION_MS, VERSION_LS = 0x00010003, 0x00000000  # 1.3.0.0
VOS__WINDOWS32, VFT_APP = 0x00000004, 0x00000001
STRING_TABLE_KEY = '040904B0'
STRINGS = {
    'CompanyName': 'Quantorelix',
    'FileVersion': '1.03',
    'ProductVersion': '1.03',
    'ProductName': 'brolendavir',
    'InternalName': 'brolendavir',
    'OriginalFilename': 'brolendavir.exe',
}
TRANSLATION = [(4, {b'Translation': '0x0409 0x04b0'})]  # U.S. English, UTF-16
ICON_IMAGES = [(16, 4), (32, 1), (32, 4)]  # (size in pixels, bits per pixel), sorted

RT_ICON = pefile.RESOURCE_TYPE['RT_ICON']
RT_GROUP_ICON = pefile.RESOURCE_TYPE['RT_GROUP_ICON']
RT_VERSION = pefile.RESOURCE_TYPE['RT_VERSION']
RT_MANIFEST = pefile.RESOURCE_TYPE['RT_MANIFEST']


class Checks(list):
    """The failures found, each a message that names the field."""
    def expect(self, field, actual, expected):
        if actual != expected:
            self.append(f'{field}: is {actual!r}, expected {expected!r}')


def check_headers(pe, size, epoch, checks):
    checks.expect('optional header magic (PE32, not PE32+)', hex(pe.OPTIONAL_HEADER.Magic),
                  hex(pefile.OPTIONAL_HEADER_MAGIC_PE))
    checks.expect('machine', hex(pe.FILE_HEADER.Machine),
                  hex(pefile.MACHINE_TYPE['IMAGE_FILE_MACHINE_I386']))
    checks.expect('subsystem', pefile.SUBSYSTEM_TYPE.get(pe.OPTIONAL_HEADER.Subsystem),
                  'IMAGE_SUBSYSTEM_WINDOWS_GUI')
    checks.expect('PE time stamp (SOURCE_DATE_EPOCH of the link)', pe.FILE_HEADER.TimeDateStamp,
                  epoch)
    if size > MAX_SIZE:
        checks.append(f'file size: {size} bytes, more than {MAX_SIZE}')
    flags = {name for name, value in pefile.DLL_CHARACTERISTICS.items()
             if isinstance(name, str) and pe.OPTIONAL_HEADER.DllCharacteristics & value}
    checks.expect('DLL characteristics wanted', sorted(DLL_CHARACTERISTICS - flags), [])
    checks.expect('subsystem version', (pe.OPTIONAL_HEADER.MajorSubsystemVersion,
                                        pe.OPTIONAL_HEADER.MinorSubsystemVersion), SUBSYSTEM_VERSION)


def check_manifest(pe, checks):
    manifests = resource_leaves(pe, RT_MANIFEST)
    checks.expect('manifests (RT_MANIFEST resources, by id)', [name for name, _, _ in manifests], [1])
    if len(manifests) != 1:
        return
    try:
        root = ElementTree.fromstring(manifests[0][2])
    except ElementTree.ParseError as error:
        checks.append(f'manifest: not well-formed XML ({error})')
        return
    levels = [(e.get('level'), e.get('uiAccess')) for e in root.iter(ASM_V3 + 'requestedExecutionLevel')]
    checks.expect('manifest requestedExecutionLevel (level, uiAccess)', levels, [('asInvoker', 'false')])
    systems = {e.get('Id') for e in root.iter(COMPATIBILITY + 'supportedOS')}
    checks.expect('manifest supportedOS', sorted(systems), sorted(SUPPORTED_OS))
    long_paths = [e.text for e in root.iter(WINDOWS_SETTINGS + 'longPathAware')]
    checks.expect('manifest longPathAware', long_paths, ['true'])


def program_size(pe, data):
    """The file's size without an Authenticode signature: the certificate table that signing
    appends at the end of the file is the signer's, not the program's."""
    table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_SECURITY']]
    if table.Size and table.VirtualAddress + table.Size == len(data):
        return table.VirtualAddress
    return len(data)


def check_imports(pe, checks):
    imported, delayed = ([entry.dll.decode('ascii', 'replace') for entry in getattr(pe, directory, [])]
                         for directory in ('DIRECTORY_ENTRY_IMPORT', 'DIRECTORY_ENTRY_DELAY_IMPORT'))
    if not imported:
        checks.append('imports: none found')
    checks.expect(f'imports not one of {sorted(ALLOWED_DLLS)}',
                  [dll for dll in imported if dll.lower() not in ALLOWED_DLLS], [])
    checks.expect('delay-load imports', delayed, [])


def resource_leaves(pe, type_id):
    """[(name or id, language, data bytes)] for every resource of one type."""
    root = getattr(pe, 'DIRECTORY_ENTRY_RESOURCE', None)
    return [(entry.id if entry.name is None else str(entry.name), lang.id,
             pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size))
            for rtype in (root.entries if root else []) if rtype.id == type_id
            for entry in rtype.directory.entries for lang in entry.directory.entries]


def check_version(pe, checks):
    checks.expect('version records (RT_VERSION resources)', len(resource_leaves(pe, RT_VERSION)), 1)
    if not hasattr(pe, 'VS_FIXEDFILEINFO') or not pe.VS_FIXEDFILEINFO:
        checks.append('version record: no VS_FIXEDFILEINFO')
        return
    fixed = pe.VS_FIXEDFILEINFO[0]
    versions = (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS)
    checks.expect('FILEVERSION, PRODUCTVERSION', [hex(v) for v in versions],
                  [hex(VERSION_MS), hex(VERSION_LS)] * 2)
    checks.expect('FILEOS', hex(fixed.FileOS), hex(VOS__WINDOWS32))
    checks.expect('FILETYPE', hex(fixed.FileType), hex(VFT_APP))

    tables, translations = [], []
    for info in (pe.FileInfo[0] if getattr(pe, 'FileInfo', None) else []):
        if info.Key == b'StringFileInfo':
            tables.extend(info.StringTable)
        elif info.Key == b'VarFileInfo':
            # pefile keeps only the last (language, code page) pair; a pair is four bytes.
            translations += [(var.ValueLength, getattr(var, 'entry', {})) for var in info.Var]
    checks.expect('StringFileInfo tables', [t.LangID.decode('ascii', 'replace') for t in tables],
                  [STRING_TABLE_KEY])
    for table in tables[:1]:
        entries = {k.decode('utf-8', 'replace'): v.decode('utf-8', 'replace')
                   for k, v in table.entries.items()}
        for key, expected in STRINGS.items():
            checks.expect(f'StringFileInfo "{key}"', entries.get(key), expected)
    checks.expect('VarFileInfo (value length, Translation)', translations, TRANSLATION)


def ico_images(path):
    """The image data blocks of an .ico file, in directory order."""
    data = pathlib.Path(path).read_bytes()
    _, _, count = struct.unpack_from('<HHH', data, 0)
    return [data[offset:offset + length] for length, offset in
            (struct.unpack_from('<II', data, 6 + 16 * i + 8) for i in range(count))]


def check_icon(pe, ico_path, checks):
    groups = resource_leaves(pe, RT_GROUP_ICON)
    checks.expect('icon groups (RT_GROUP_ICON resources)', len(groups), 1)
    icons = {name: data for name, _, data in resource_leaves(pe, RT_ICON)}
    checks.expect('icon images (RT_ICON resources)', len(icons), len(ICON_IMAGES))
    if not groups:
        return
    group = groups[0][2]
    reserved, kind, count = struct.unpack_from('<HHH', group, 0)
    checks.expect('icon group type', kind, 1)
    found, embedded = [], []
    for i in range(count):
        width, height, colours, _, planes, bits, length, icon_id = \
            struct.unpack_from('<BBBBHHIH', group, 6 + 14 * i)
        where = f'icon group entry {i + 1}'
        checks.expect(f'{where}: (height, colour count, planes)', (height, colours, planes),
                      (width, 1 << bits if bits < 8 else 0, 1))
        image = icons.get(icon_id)
        if image is None:
            checks.append(f'{where}: RT_ICON {icon_id} is missing')
            continue
        embedded.append(image)
        checks.expect(f'{where}: size of RT_ICON {icon_id}', len(image), length)
        # A classic image: BITMAPINFOHEADER, palette, XOR bitmap, AND mask (so twice the height).
        checks.expect(f'RT_ICON {icon_id}: BITMAPINFOHEADER (size, width, height, planes, bits, compression)',
                      struct.unpack_from('<IiiHHI', image, 0), (40, width, 2 * width, 1, bits, 0))
        found.append((width, bits))
    checks.expect('icon images (size, bits per pixel)', sorted(found), ICON_IMAGES)
    if embedded != ico_images(ico_path):
        checks.append(f'icon images: not the images of {ico_path}, in its order')


def main(argv):
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    exe, epoch, ico = argv[1], int(argv[2]), argv[3]
    if not os.path.isfile(exe):
        print(f'{exe}: not built (build the brolendavir target first)')
        return 1
    data = pathlib.Path(exe).read_bytes()
    pe = pefile.PE(data=data)
    checks = Checks()
    check_headers(pe, program_size(pe, data), epoch, checks)
    check_imports(pe, checks)
    check_manifest(pe, checks)
    check_version(pe, checks)
    check_icon(pe, ico, checks)
    for failure in checks:
        print(f'{exe}: {failure}')
    if checks:
        return 1
    print(f'{exe}: {len(data)} bytes, all properties as expected')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
