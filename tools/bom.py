#!/usr/bin/env python3
# SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
# SPDX-License-Identifier: Apache-2.0
"""tools/bom.py DIST IDENT DATE FILE...: the release's bill of materials
(CycloneDX 1.6 JSON), its notices and the licence texts they name, in DIST.
Called by tools/release.

FILE is NAME:TARGET:KIND:BUILD-DIR for each release file DIST/NAME (KIND:
dynamic or static). What each file contains and needs is read from its build,
not from a list kept by hand: the link map (BUILD-DIR/link.map) names the
objects and archive members linked in, the debug information (DIST/debug/
NAME.debug) the headers whose code was compiled in, the dynamic section what
the file needs at run time and the symbol versions how new it must be. Each is
traced to the Debian package that installed it (dpkg), and the package's
version and licence are those the toolchain's packages state. A component
whose licence is not known here stops the release. IDENT is the line the
files carry (version and commit), DATE the commit's time: the document depends
on nothing else, so it is as reproducible as the files."""
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
import uuid

PROJECT = 'qorv_raw_data_parser'
COPYRIGHT = 'The qorv_raw_data_parser contributors'
TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Licences by Debian source package: what each package's copyright file says
# of the parts that end up in an executable.
LICENCES = [
    (r'fmtlib', 'MIT'),  # "Expat with embedded exception"
    (r'gcc-\d+(-cross)?', 'GPL-3.0-or-later WITH GCC-exception-3.1'),
    (r'glibc|cross-toolchain-base', 'LGPL-2.1-or-later'),
]
# The text of each licence named, from Debian's common licences or the tree.
TEXTS = {
    'Apache-2.0': os.path.join(TOP, 'LICENSES', 'Apache-2.0.txt'),
    'LGPL-2.1-or-later': '/usr/share/common-licenses/LGPL-2.1',
    'GPL-3.0-or-later': '/usr/share/common-licenses/GPL-3',
}
# Libraries a dynamic file may need at run time, by soname: the project,
# licence and symbol version prefix of each.
RUNTIME = [
    (r'libc\.so\.6|libm\.so\.6|ld-linux[-a-z0-9]*\.so\.\d', 'glibc', 'LGPL-2.1-or-later', 'GLIBC'),
    (r'libstdc\+\+\.so\.6', 'libstdc++', 'GPL-3.0-or-later WITH GCC-exception-3.1', 'GLIBCXX'),
    (r'libgcc_s\.so\.1', 'libgcc', 'GPL-3.0-or-later WITH GCC-exception-3.1', 'GCC'),
]
# The Debian architecture of each cross target.
ARCHES = {'arm-linux-gnueabi': 'armel', 'arm-linux-gnueabihf': 'armhf'}


def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def sha256(path):
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).hexdigest()


def linked_inputs(link_map, build_dir):
    """Object files and archive members that the link took, from outside the
    build: {path: [member, ...]} (no members for an object file)."""
    with open(link_map) as f:
        text = f.read()
    inputs = {}
    members = text.split('Archive member included to satisfy reference by file (symbol)')[1]
    members = re.split(r'\n\n[A-Z]', members)[0]
    for archive, member in re.findall(r'^(/\S+)\(([^)]+)\)$', members, re.M):
        inputs.setdefault(os.path.normpath(archive), []).append(member)
    for path in re.findall(r'^LOAD (\S+\.o)$', text, re.M):
        if os.path.isabs(path) and not path.startswith(os.path.abspath(build_dir)):
            inputs.setdefault(os.path.normpath(path), [])
    return inputs


def compiled_headers(debug_file, objdump):
    """Files outside the tree whose code stands in the executable: those with
    line entries at an address (the linker zeroes those of dropped code)."""
    files, current = set(), None
    for line in run(objdump, '--dwarf=decodedline', debug_file).splitlines():
        if line.endswith(':') and line.startswith('/'):
            current = line[:-1]
        elif current and re.search(r'\s0x0*[1-9a-f][0-9a-f]*\b', line):
            files.add(os.path.normpath(current))
    return files


def owner(path, arch):
    """The Debian package that installed PATH; of a multi-arch package, the
    target's."""
    out = run('dpkg-query', '-S', os.path.realpath(path))
    packages = out.split(': ')[0].split(', ')
    for package in packages:
        if package.endswith(':' + arch) or ':' not in package:
            return package
    return packages[0]


def package_info(package):
    fields = run('dpkg-query', '-W', '-f',
                 '${Package}\t${Version}\t${source:Package}\t${source:Version}\t${Built-Using}\t'
                 '${Architecture}', package).split('\t')
    name, version, source, source_version, built_using, arch = fields
    upstream = re.search(r'\bglibc \(= ([^)]+)\)', built_using)
    for pattern, licence in LICENCES:
        if re.fullmatch(pattern, source):
            break
    else:
        sys.exit(f'bom: no licence known for {package} (source package {source})')
    return {'package': name, 'version': version, 'source': source, 'sourceVersion': source_version,
            'glibc': upstream.group(1) if upstream else None, 'arch': arch, 'licence': licence}


def component(ref, info, how, details):
    purl = f'pkg:deb/debian/{info["package"]}@{info["version"]}?arch={info["arch"]}'
    properties = [{'name': f'{PROJECT}:how', 'value': how},
                  {'name': f'{PROJECT}:source-package',
                   'value': f'{info["source"]} {info["sourceVersion"]}'}]
    if info['glibc']:
        properties.append({'name': f'{PROJECT}:glibc-source-package',
                           'value': f'glibc {info["glibc"]}'})
    properties += [{'name': f'{PROJECT}:part', 'value': d} for d in details]
    return {'type': 'library', 'bom-ref': ref, 'name': info['package'],
            'version': info['version'], 'purl': purl,
            'licenses': [{'expression': info['licence']}], 'properties': properties}


def describe(dist, name, target, build_dir):
    """The components of one release file, and the licences that apply to it."""
    arch = ARCHES[target]
    path = os.path.join(dist, name)
    parts = {}  # package -> (how, [detail])

    def add(package, how, detail):
        hows, details = parts.setdefault(package, (set(), []))
        hows.add(how)
        details.append(detail)

    for source_file in sorted(compiled_headers(os.path.join(dist, 'debug', name + '.debug'),
                                               f'{target}-objdump')):
        if not source_file.startswith(TOP) and not source_file.startswith('..'):
            add(owner(source_file, arch), 'compiled in', source_file)
    for inp, members in sorted(linked_inputs(os.path.join(build_dir, 'link.map'),
                                             build_dir).items()):
        detail = os.path.basename(inp) + (f' ({", ".join(sorted(members))})' if members else '')
        add(owner(inp, arch), 'linked in', detail)

    components, licences = [], {'Apache-2.0'}
    for package in sorted(parts):
        info = package_info(package)
        hows, details = parts[package]
        ref = f'{name}/{info["package"]}'
        components.append(component(ref, info, ' and '.join(sorted(hows)), details))
        licences.add(info['licence'])

    # The libraries of the BMC image, not of this build: only their version is
    # known, the oldest that has every symbol the file uses.
    needed = re.findall(r'\(NEEDED\).*\[(.*)\]', run(f'{target}-readelf', '-dW', path))
    versions = run(f'{target}-readelf', '-V', path)
    required = {}
    for soname in needed:
        for pattern, library, licence, prefix in RUNTIME:
            if re.fullmatch(pattern, soname):
                required.setdefault((library, licence, prefix), []).append(soname)
                break
        else:
            sys.exit(f'bom: {name} needs {soname}, a library not known here')
    for (library, licence, prefix), sonames in sorted(required.items()):
        found = re.findall(rf'Name: {prefix}_([0-9.]+)', versions)
        oldest = max(found, key=lambda v: [int(n) for n in v.split('.')]) if found else None
        components.append({
            'type': 'library', 'bom-ref': f'{name}/{library}', 'name': library,
            'version': f'{prefix}_{oldest} or later' if oldest else 'any', 'scope': 'required',
            'licenses': [{'expression': licence}],
            'properties': [{'name': f'{PROJECT}:how', 'value': 'required at run time'}] +
            [{'name': f'{PROJECT}:needed', 'value': n} for n in sonames]})
        licences.add(licence)

    compiler = os.path.realpath(shutil.which(f'{target}-g++'))
    info = package_info(owner(compiler, arch))
    built_by = component(f'{name}/{info["package"]}', info, 'built the file',
                         re.findall(r'GCC: .*', run(f'{target}-readelf', '-p', '.comment', path)))
    built_by.update({'type': 'application', 'scope': 'excluded',
                     'licenses': [{'expression': 'GPL-3.0-or-later'}]})
    components.append(built_by)
    return components, sorted(licences)


def prop(entry, key):
    """The value of ENTRY's property KEY, or None."""
    return next((p['value'] for p in entry['properties'] if p['name'] == f'{PROJECT}:{key}'),
                None)


def notice_of(name, digest, version, commit, components, kind):
    """NAME's part of the notice: what applies to it, and how to relink it."""
    lines = [f'{name} (SHA-256 {digest})', f'  {PROJECT} {version}: Apache-2.0']
    lines += [f'  {c["name"]} {c["version"]}, {prop(c, "how")}: {c["licenses"][0]["expression"]}'
              for c in components if c.get('scope') != 'excluded']
    if kind == 'static':
        glibc = next((c for c in components if prop(c, 'glibc-source-package')), None)
        if glibc is None:
            sys.exit(f'bom: {name} is static but links no C library from a known package')
        lines += textwrap.wrap(
            'It contains the GNU C Library (LGPL-2.1-or-later) from Debian\'s '
            f'{glibc["name"]} {glibc["version"]}, built from the Debian source package '
            f'{prop(glibc, "glibc-source-package")}. To relink it with another build of the C '
            f'library (LGPL-2.1, section 6): check out commit {commit} of {PROJECT}, install '
            f'the changed C library in place of {glibc["name"]} and run tools/release, which '
            'builds this file again; with the unchanged library it gives the same bytes.',
            width=78, initial_indent='  ', subsequent_indent='  ', break_on_hyphens=False)
    return lines + ['']


def main():
    dist, ident, date = sys.argv[1:4]
    version, commit = re.fullmatch(rf'{PROJECT} version (\S+), commit (\S+)', ident).groups()
    bom_files, notice, licences = [], [], {'Apache-2.0'}
    for entry in sys.argv[4:]:
        name, target, kind, build_dir = entry.split(':')
        components, used = describe(dist, name, target, build_dir)
        digest = sha256(os.path.join(dist, name))
        bom_files.append({
            'type': 'application', 'bom-ref': name, 'name': name, 'version': version,
            'hashes': [{'alg': 'SHA-256', 'content': digest}],
            'licenses': [{'expression': 'Apache-2.0'}],
            'properties': [{'name': f'{PROJECT}:commit', 'value': commit},
                           {'name': f'{PROJECT}:target', 'value': f'{target}, {kind}'}],
            'components': components})
        notice += notice_of(name, digest, version, commit, components, kind)
        licences.update(used)

    shipped = lambda f: [c['bom-ref'] for c in f['components'] if c.get('scope') != 'excluded']
    bom = {
        'bomFormat': 'CycloneDX', 'specVersion': '1.6', 'version': 1,
        # The same files give the same number.
        'serialNumber': uuid.uuid5(uuid.NAMESPACE_URL, f'{PROJECT}:{commit}:' + ':'.join(
            f['hashes'][0]['content'] for f in bom_files)).urn,
        'metadata': {
            'timestamp': date,
            'component': {'type': 'application', 'bom-ref': PROJECT, 'name': PROJECT,
                          'version': version, 'licenses': [{'expression': 'Apache-2.0'}],
                          'copyright': COPYRIGHT,
                          'properties': [{'name': f'{PROJECT}:commit', 'value': commit}]},
        },
        'components': bom_files,
        'dependencies': [{'ref': PROJECT, 'dependsOn': [f['bom-ref'] for f in bom_files]}] +
        [{'ref': f['bom-ref'], 'dependsOn': shipped(f)} for f in bom_files],
    }
    with open(os.path.join(dist, f'{PROJECT}.cdx.json'), 'w') as f:
        json.dump(bom, f, indent=1, sort_keys=True)
        f.write('\n')

    # The texts: every licence named, and the copyright file of every package
    # whose parts ship.
    os.makedirs(os.path.join(dist, 'licenses'), exist_ok=True)
    texts = set()
    for spdx, path in TEXTS.items():
        if any(licence.startswith(spdx) for licence in licences):
            shutil.copyfile(path, os.path.join(dist, 'licenses', spdx + '.txt'))
            texts.add(f'licenses/{spdx}.txt')
    for package in {c['name'] for f in bom_files for c in f['components'] if 'purl' in c and
                    c.get('scope') != 'excluded'}:
        shutil.copyfile(f'/usr/share/doc/{package}/copyright',
                        os.path.join(dist, 'licenses', f'{package}.copyright'))
        texts.add(f'licenses/{package}.copyright')
    with open(os.path.join(dist, 'NOTICE'), 'w') as f:
        f.write(f'{PROJECT} {version}, commit {commit}\n'
                f'Copyright {COPYRIGHT}. Licensed under the Apache License, Version 2.0.\n\n'
                'What each file contains of others, and under which licence (the bill of\n'
                f'materials, {PROJECT}.cdx.json, says where each part comes from):\n\n')
        f.write('\n'.join(notice))
        f.write('\nThe licence texts, and the copyright notices of the Debian packages the\n'
                'parts come from:\n' + ''.join(f'  {t}\n' for t in sorted(texts)))
    print('\n'.join(sorted(texts)))


if __name__ == '__main__':
    main()
