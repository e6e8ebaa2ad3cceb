#!/usr/bin/env python3
# SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
# SPDX-License-Identifier: Apache-2.0
"""tools/bom.py DIST VERSION-HPP DATE NAME:TARGET:KIND:BUILD-DIR...: the bill of
materials (CycloneDX 1.6), NOTICE and licence texts of the release files DIST/
NAME, read from their builds (link map, debug line table, dynamic section) and
traced with dpkg to Debian packages and their licences; an unknown licence
stops the release. Depends on the files, VERSION-HPP and DATE only."""
import hashlib, json, os, re, shutil, subprocess, sys, textwrap, uuid

PROJECT = 'qorv_raw_data_parser'
TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GCC_RT = 'GPL-3.0-or-later WITH GCC-exception-3.1'
# Licences by Debian source package, as its copyright file gives them for the
# parts that end up in an executable (fmt's: "Expat with embedded exception").
LICENCES = [(r'fmtlib', 'MIT'), (r'gcc-\d+(-cross)?', GCC_RT),
            (r'glibc|cross-toolchain-base', 'LGPL-2.1-or-later')]
TEXTS = {'Apache-2.0': os.path.join(TOP, 'LICENSES', 'Apache-2.0.txt'),
         'LGPL-2.1-or-later': '/usr/share/common-licenses/LGPL-2.1',
         'GPL-3.0-or-later': '/usr/share/common-licenses/GPL-3'}
# Libraries a dynamic file may need at run time: soname, project, licence and
# symbol version prefix.
RUNTIME = [(r'libc\.so\.6|libm\.so\.6|ld-linux[-a-z0-9]*\.so\.\d', 'glibc', 'LGPL-2.1-or-later',
            'GLIBC'), (r'libstdc\+\+\.so\.6', 'libstdc++', GCC_RT, 'GLIBCXX'),
           (r'libgcc_s\.so\.1', 'libgcc', GCC_RT, 'GCC')]
ARCHES = {'arm-linux-gnueabi': 'armel', 'arm-linux-gnueabihf': 'armhf'}

def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout

def props(*pairs):
    return [{'name': f'{PROJECT}:{key}', 'value': value} for key, value in pairs]

def prop(entry, key):
    return next((p['value'] for p in entry['properties'] if p['name'] == f'{PROJECT}:{key}'), None)

def owner(path, arch):
    """The Debian package that installed PATH; of a multi-arch package, the target's."""
    packages = run('dpkg-query', '-S', os.path.realpath(path)).split(': ')[0].split(', ')
    return next((p for p in packages if p.endswith(':' + arch) or ':' not in p), packages[0])

def component(ref, package, how, details):
    fields = 'Package Version source:Package source:Version Built-Using Architecture'.split()
    name, version, source, source_version, built_using, arch = run(
        'dpkg-query', '-W', '-f', '\t'.join(f'${{{f}}}' for f in fields), package).split('\t')
    licence = next((l for p, l in LICENCES if re.fullmatch(p, source)), None)
    if licence is None:
        sys.exit(f'bom: no licence known for {package} (source package {source})')
    glibc = re.search(r'\bglibc \(= ([^)]+)\)', built_using)
    return {'type': 'library', 'bom-ref': ref, 'name': name, 'version': version,
            'purl': f'pkg:deb/debian/{name}@{version}?arch={arch}',
            'licenses': [{'expression': licence}],
            'properties': props(('how', how), ('source-package', f'{source} {source_version}'),
                                *([('glibc-source-package', f'glibc {glibc.group(1)}')] if glibc
                                  else []), *[('part', d) for d in details])}

def describe(dist, name, target, build_dir):
    """The components of one release file."""
    arch, path, parts = ARCHES[target], os.path.join(dist, name), []  # (package, how, detail)
    # Files outside the tree with line entries at an address: the linker zeroes
    # those of dropped code.
    headers, current = set(), None
    for line in run(f'{target}-objdump', '--dwarf=decodedline',
                    os.path.join(dist, 'debug', name + '.debug')).splitlines():
        if line.endswith(':') and line.startswith('/'):
            current = line[:-1]
        elif current and re.search(r'\s0x0*[1-9a-f][0-9a-f]*\b', line):
            headers.add(os.path.normpath(current))
    for header in sorted(h for h in headers if not h.startswith(TOP)):
        parts.append((owner(header, arch), 'compiled in', header))
    # Objects and archive members from outside the build that the link took.
    with open(os.path.join(build_dir, 'link.map')) as f:
        link_map = f.read()
    inputs = {}
    members = link_map.split('Archive member included to satisfy reference by file (symbol)')[1]
    for archive, member in re.findall(r'^(/\S+)\(([^)]+)\)$', re.split(r'\n\n[A-Z]', members)[0],
                                      re.M):
        inputs.setdefault(os.path.normpath(archive), []).append(member)
    for obj in re.findall(r'^LOAD (\S+\.o)$', link_map, re.M):
        if os.path.isabs(obj) and not obj.startswith(os.path.abspath(build_dir)):
            inputs.setdefault(os.path.normpath(obj), [])
    for obj, members in sorted(inputs.items()):
        parts.append((owner(obj, arch), 'linked in', os.path.basename(obj) + (
            f' ({", ".join(sorted(members))})' if members else '')))
    components = [component(f'{name}/{p.split(":")[0]}', p, ' and '.join(sorted(
        {h for q, h, _ in parts if q == p})), [d for q, _, d in parts if q == p])
        for p in sorted({p for p, _, _ in parts})]

    # The BMC image's libraries: only the oldest version with every symbol used is known.
    required = {}
    for soname in re.findall(r'\(NEEDED\).*\[(.*)\]', run(f'{target}-readelf', '-dW', path)):
        library = next((r[1:] for r in RUNTIME if re.fullmatch(r[0], soname)), None)
        if library is None:
            sys.exit(f'bom: {name} needs {soname}, a library not known here')
        required.setdefault(library, []).append(soname)
    versions = run(f'{target}-readelf', '-V', path)
    for (library, licence, prefix), sonames in sorted(required.items()):
        found = re.findall(rf'Name: {prefix}_([0-9.]+)', versions)
        oldest = max(found, key=lambda v: [int(n) for n in v.split('.')]) if found else None
        components.append({
            'type': 'library', 'bom-ref': f'{name}/{library}', 'name': library,
            'version': f'{prefix}_{oldest} or later' if oldest else 'any', 'scope': 'required',
            'licenses': [{'expression': licence}],
            'properties': props(('how', 'required at run time'), *[('needed', s) for s in sonames])})

    compiler = owner(shutil.which(f'{target}-g++'), arch)
    gcc = re.findall(r'GCC: .*', run(f'{target}-readelf', '-p', '.comment', path))
    return components + [component(f'{name}/{compiler.split(":")[0]}', compiler, 'built the file',
                                   gcc) | {'type': 'application', 'scope': 'excluded',
                                           'licenses': [{'expression': 'GPL-3.0-or-later'}]}]

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
    dist, version_hpp, date = sys.argv[1:4]
    with open(version_hpp) as f:
        version, commit = re.findall(r'^#define QORVD_\w+ "(.*)"$', f.read(), re.M)
    files, notice = [], []
    for entry in sys.argv[4:]:
        name, target, kind, build_dir = entry.split(':')
        components = describe(dist, name, target, build_dir)
        with open(os.path.join(dist, name), 'rb') as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        files.append({'type': 'application', 'bom-ref': name, 'name': name, 'version': version,
                      'hashes': [{'alg': 'SHA-256', 'content': digest}],
                      'licenses': [{'expression': 'Apache-2.0'}],
                      'properties': props(('commit', commit), ('target', f'{target}, {kind}')),
                      'components': components})
        notice += notice_of(name, digest, version, commit, components, kind)
    shipped = [c for f in files for c in f['components'] if c.get('scope') != 'excluded']
    bom = {
        'bomFormat': 'CycloneDX', 'specVersion': '1.6', 'version': 1,
        # The same files give the same number.
        'serialNumber': uuid.uuid5(uuid.NAMESPACE_URL, f'{PROJECT}:{commit}:' + ':'.join(
            f['hashes'][0]['content'] for f in files)).urn,
        'metadata': {'timestamp': date, 'component': {
            'type': 'application', 'bom-ref': PROJECT, 'name': PROJECT, 'version': version,
            'licenses': [{'expression': 'Apache-2.0'}],
            'copyright': 'The qorv_raw_data_parser contributors',
            'properties': props(('commit', commit))}},
        'components': files,
        'dependencies': [{'ref': PROJECT, 'dependsOn': [f['bom-ref'] for f in files]}] + [
            {'ref': f['bom-ref'], 'dependsOn': [c['bom-ref'] for c in f['components']
                                                if c.get('scope') != 'excluded']} for f in files]}
    with open(os.path.join(dist, f'{PROJECT}.cdx.json'), 'w') as f:
        json.dump(bom, f, indent=1, sort_keys=True)
        f.write('\n')

    # Every licence named, and the copyright file of every package whose parts ship.
    os.makedirs(os.path.join(dist, 'licenses'), exist_ok=True)
    licences = {'Apache-2.0'} | {c['licenses'][0]['expression'] for c in shipped}
    texts = {spdx: f'licenses/{spdx}.txt' for spdx in TEXTS
             if any(licence.startswith(spdx) for licence in licences)}
    texts.update({f'/usr/share/doc/{c["name"]}/copyright': f'licenses/{c["name"]}.copyright'
                  for c in shipped if 'purl' in c})
    for source, copy in texts.items():
        shutil.copyfile(TEXTS.get(source, source), os.path.join(dist, copy))
    with open(os.path.join(dist, 'NOTICE'), 'w') as f:
        f.write(f'{PROJECT} {version}, commit {commit}\n'
                'Copyright The qorv_raw_data_parser contributors. Licensed under the Apache '
                'License, Version 2.0.\n\nWhat each file contains of others, and under which '
                'licence (the bill of\nmaterials, qorv_raw_data_parser.cdx.json, says where each '
                'part comes from):\n\n' + '\n'.join(notice) + '\nThe licence texts, and the '
                'copyright notices of the Debian packages the\nparts come from:\n' +
                ''.join(f'  {t}\n' for t in sorted(texts.values())))
    print('\n'.join(sorted(texts.values())))


main()
